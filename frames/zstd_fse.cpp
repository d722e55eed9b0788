// FSE tables: a distribution's description read forward, little-endian,
// and the decoding table spread from it.
#include "frames/zstd_internal.h"

static const uint32_t FSE_LEAST_LOG = 5;
static const uint32_t FSE_MOST_SYMBOLS = 256;

// Bits read forward from a description; reading past its end marks it overrun.
struct ForwardBits {
    const uint8_t* in;
    size_t length;
    size_t position;  // in bits
};

static uint32_t PeekForward(const ForwardBits* bits, uint32_t count)  // count <= 16
{
    size_t byte = bits->position >> 3;
    uint32_t window = 0;
    for (size_t i = 0; i < 3 && byte + i < bits->length; i++)
        window |= (uint32_t)bits->in[byte + i] << (8 * i);
    return (window >> (bits->position & 7)) & ((1u << count) - 1);
}

static uint32_t TakeForward(ForwardBits* bits, uint32_t count)
{
    uint32_t value = PeekForward(bits, count);
    bits->position += count;
    return value;
}

// One symbol's count: the fewer bits carry the small values.
static int32_t ReadCount(ForwardBits* bits, uint32_t countsLeft)
{
    uint32_t width = HighestBit(countsLeft) + 1;
    uint32_t small = (1u << width) - 1 - countsLeft;
    uint32_t value = PeekForward(bits, width);
    uint32_t low = value & ((1u << (width - 1)) - 1);
    if (low < small) {
        bits->position += width - 1;
        return (int32_t)low - 1;
    }
    bits->position += width;
    if (value >= 1u << (width - 1))
        value -= small;
    return (int32_t)value - 1;
}

// The counts of a description: answers the bytes it took, 0 when malformed.
static size_t ReadCounts(const uint8_t* in, size_t length, uint32_t mostLog, uint32_t mostSymbol, int16_t* counts,
                         uint32_t* symbols, uint32_t* accuracyLog)
{
    if (length == 0)
        return 0;
    ForwardBits bits = {in, length, 0};
    *accuracyLog = TakeForward(&bits, 4) + FSE_LEAST_LOG;
    if (*accuracyLog > mostLog)
        return 0;
    uint32_t countsLeft = (1u << *accuracyLog) + 1;  // the points left, plus one
    uint32_t symbol = 0;
    while (countsLeft > 1) {
        if (symbol > mostSymbol)
            return 0;
        int32_t count = ReadCount(&bits, countsLeft);
        uint32_t points = count < 0 ? 1 : (uint32_t)count;
        if (points >= countsLeft)
            return 0;
        countsLeft -= points;
        counts[symbol++] = (int16_t)count;
        if (count != 0)
            continue;
        for (uint32_t repeat = 3; repeat == 3;) {
            repeat = TakeForward(&bits, 2);
            if (symbol + repeat > mostSymbol + 1)
                return 0;
            for (uint32_t i = 0; i < repeat; i++)
                counts[symbol++] = 0;
        }
    }
    size_t used = (bits.position + 7) >> 3;
    if (used > length)
        return 0;
    *symbols = symbol;
    return used;
}

int BuildFseTable(const int16_t* counts, uint32_t symbols, uint32_t accuracyLog, const uint32_t* codeBase,
                  const uint8_t* codeExtra, FseTable* table)
{
    uint32_t size = 1u << accuracyLog, mask = size - 1, high = size - 1;
    uint16_t nextOf[FSE_MOST_SYMBOLS];
    uint8_t symbolOf[1u << ZSTD_SEQUENCE_MOST_LOG];
    uint32_t total = 0;
    for (uint32_t s = 0; s < symbols; s++)
        total += counts[s] < 0 ? 1u : (uint32_t)counts[s];
    if (total != size || symbols > FSE_MOST_SYMBOLS)
        return 0;
    for (uint32_t s = 0; s < symbols; s++) {
        nextOf[s] = counts[s] < 0 ? 1 : (uint16_t)counts[s];
        if (counts[s] < 0)
            symbolOf[high--] = (uint8_t)s;
    }
    uint32_t step = (size >> 1) + (size >> 3) + 3, position = 0;
    for (uint32_t s = 0; s < symbols; s++) {
        for (int32_t i = 0; i < counts[s]; i++) {
            symbolOf[position] = (uint8_t)s;
            do
                position = (position + step) & mask;
            while (position > high);
        }
    }
    if (position != 0)
        return 0;
    for (uint32_t state = 0; state < size; state++) {
        uint32_t symbol = symbolOf[state];
        uint32_t x = nextOf[symbol]++;
        FseCell* cell = &table->cells[state];
        cell->bits = (uint8_t)(accuracyLog - HighestBit(x));
        cell->next = (uint16_t)((x << cell->bits) - size);
        cell->base = codeBase ? codeBase[symbol] : symbol;
        cell->extra = codeExtra ? codeExtra[symbol] : 0;
    }
    table->accuracyLog = accuracyLog;
    return 1;
}

size_t ReadFseTable(const uint8_t* in, size_t length, uint32_t mostLog, uint32_t mostSymbol, const uint32_t* codeBase,
                    const uint8_t* codeExtra, FseTable* table)
{
    int16_t counts[FSE_MOST_SYMBOLS];
    uint32_t symbols = 0, accuracyLog = 0;
    size_t used = ReadCounts(in, length, mostLog, mostSymbol, counts, &symbols, &accuracyLog);
    if (used == 0 || !BuildFseTable(counts, symbols, accuracyLog, codeBase, codeExtra, table))
        return 0;
    return used;
}

void OneSymbolFseTable(uint32_t symbol, const uint32_t* codeBase, const uint8_t* codeExtra, FseTable* table)
{
    FseCell* cell = &table->cells[0];
    cell->base = codeBase ? codeBase[symbol] : symbol;
    cell->extra = codeExtra ? codeExtra[symbol] : 0;
    cell->next = 0;
    cell->bits = 0;
    table->accuracyLog = 0;
}
