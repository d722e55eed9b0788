// The retention self-test's frame: its log, the case recorder, the scratch
// folder it creates under the temporary directory, the eleven conditions that
// prove the folder is its own before anything is deleted, fixtures with set
// file times, and the finish with its summary.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "retention/retention.h"
#include "shell/shell.h"

int DR_TestCases;
int DR_TestFailures;

static FILE* DR_TestLogFile;

static const char SELF_TEST_LOG_NAME[] = "disconnectreportretentiontest.log";
static const int SCRATCH_ATTEMPTS = 32;
static const ULONGLONG DAY_UNITS = 864000000000ULL;  // 100-ns units in a day

void DR_TestLog(const char* format, ...)
{
    if (!DR_TestLogFile)
        return;
    va_list arguments;
    va_start(arguments, format);
    vfprintf(DR_TestLogFile, format, arguments);
    va_end(arguments);
    fputs("\n", DR_TestLogFile);
}

void DR_TestCase(int passed, const char* description, const char* detail)
{
    DR_TestCases++;
    if (!passed)
        DR_TestFailures++;
    DR_TestLog("RT    | %-52s | %-6s | %s", description, passed ? "OK" : "FALHOU", detail);
}

static void WriteRule(char character)
{
    char rule[74];
    memset(rule, character, 73);
    rule[73] = '\0';
    DR_TestLog("%s", rule);
}

int DR_MakeFixture(const char* folder, const char* name, int ageDays)
{
    char path[MAX_PATH];
    if (!DR_JoinPath(path, sizeof path, folder, name))
        return 0;
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    int made = 0;
    SYSTEMTIME now;
    FILETIME nowFile;
    GetSystemTime(&now);
    if (SystemTimeToFileTime(&now, &nowFile)) {
        ULONGLONG nowUnits = ((ULONGLONG)nowFile.dwHighDateTime << 32) | nowFile.dwLowDateTime;
        ULONGLONG offset = (ULONGLONG)(ageDays < 0 ? -(LONGLONG)ageDays : ageDays) * DAY_UNITS;
        if (ageDays < 0 || offset <= nowUnits) {
            ULONGLONG units = ageDays < 0 ? nowUnits + offset : nowUnits - offset;
            FILETIME time;
            time.dwLowDateTime = (DWORD)units;
            time.dwHighDateTime = (DWORD)(units >> 32);
            made = SetFileTime(file, &time, &time, &time) != 0;
        }
    }
    CloseHandle(file);
    return made;
}

int DR_MakeFixtureOrFail(const char* folder, const char* name, int ageDays)
{
    if (DR_MakeFixture(folder, name, ageDays))
        return 1;
    DR_TestCase(0, "fixture nao pode ser criada", name);
    return 0;
}

int DR_Exists(const char* folder, const char* name)
{
    char path[MAX_PATH];
    return DR_JoinPath(path, sizeof path, folder, name) && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int DR_CountReports(const char* folder)
{
    char pattern[MAX_PATH];
    if (!DR_JoinPath(pattern, sizeof pattern, folder, "disconnect-*.txt"))
        return -1;
    WIN32_FIND_DATAA entry;
    HANDLE listing = FindFirstFileA(pattern, &entry);
    if (listing == INVALID_HANDLE_VALUE)
        return 0;
    int count = 0;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && DR_IsReportName(entry.cFileName))
            count++;
    } while (FindNextFileA(listing, &entry));
    FindClose(listing);
    return count;
}

int DR_IsCleanupScope(const char* scratchDir, const char* reportsDir, const char* tempDir, int owned)
{
    if (!owned || !scratchDir || !reportsDir || !tempDir)
        return 0;
    if (!scratchDir[0] || !reportsDir[0] || !tempDir[0])
        return 0;
    size_t tempLength = strlen(tempDir);
    if (strlen(scratchDir) <= tempLength + 1 || strncasecmp(scratchDir, tempDir, tempLength) != 0)
        return 0;
    if (scratchDir[tempLength] != '\\')
        return 0;
    const char* leaf = scratchDir + tempLength + 1;
    if (strchr(leaf, '\\') || strchr(leaf, '/') || !DR_IsScratchName(leaf))
        return 0;
    char expectedReports[MAX_PATH];
    if (!DR_JoinPath(expectedReports, sizeof expectedReports, scratchDir, "reports") ||
        strcmp(expectedReports, reportsDir) != 0)
        return 0;
    return DR_IsPlainDirectory(scratchDir) && DR_IsPlainDirectory(reportsDir);
}

// Empties reportsDir one level deep (folders only when empty), then removes
// reportsDir and scratchDir; whatever the test did not put there stays.
void DR_RemoveScratch(const char* scratchDir, const char* reportsDir, const char* tempDir, int owned)
{
    if (!DR_IsCleanupScope(scratchDir, reportsDir, tempDir, owned))
        return;
    char pattern[MAX_PATH];
    WIN32_FIND_DATAA entry;
    HANDLE listing = INVALID_HANDLE_VALUE;
    if (DR_JoinPath(pattern, sizeof pattern, reportsDir, "*"))
        listing = FindFirstFileA(pattern, &entry);
    if (listing != INVALID_HANDLE_VALUE) {
        do {
            char path[MAX_PATH];
            if (strcmp(entry.cFileName, ".") == 0 || strcmp(entry.cFileName, "..") == 0 ||
                !DR_JoinPath(path, sizeof path, reportsDir, entry.cFileName))
                continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryA(path);
            else
                DeleteFileA(path);
        } while (FindNextFileA(listing, &entry));
        FindClose(listing);
    }
    RemoveDirectoryA(reportsDir);
    RemoveDirectoryA(scratchDir);
}

int DR_FinishSelfTest(const char* scratchDir, const char* reportsDir, const char* tempDir, int owned)
{
    if (DR_IsCleanupScope(scratchDir, reportsDir, tempDir, owned)) {
        DR_RemoveScratch(scratchDir, reportsDir, tempDir, owned);
        DR_TestCase(GetFileAttributesA(scratchDir) == INVALID_FILE_ATTRIBUTES,
                    "o teste removeu a propria pasta e nada mais", scratchDir);
    } else if (owned) {
        DR_TestCase(0, "escopo de limpeza NAO validado: nada foi apagado", scratchDir);
    }
    WriteRule('-');
    DR_TestLog("casos: %d   falhas: %d   -> %s", DR_TestCases, DR_TestFailures,
               DR_TestFailures == 0 ? "PASSOU" : "REPROVADO");
    fclose(DR_TestLogFile);
    DR_TestLogFile = NULL;
    return DR_TestFailures == 0;
}

static int OpenTestLog(void)
{
    char logPath[MAX_PATH];
    if (!DR_JoinPath(logPath, sizeof logPath, AppDir, SELF_TEST_LOG_NAME))
        return 0;
    DR_TestLogFile = fopen(logPath, "w");
    return DR_TestLogFile != NULL;
}

// tempDir without its trailing backslash; 0 after recording why it is unusable.
static int ReadTempDir(char* tempDir, DWORD capacity)
{
    DWORD length = GetTempPathA(capacity, tempDir);
    if (length == 0 || length >= capacity) {
        char detail[512];
        DR_TestFormat(detail, sizeof detail, "GetTempPath devolveu %lu, capacidade %d", length, (int)capacity);
        DR_TestCase(0, "GetTempPath devolve tamanho utilizavel", detail);
        return 0;
    }
    if (tempDir[length - 1] == '\\')
        tempDir[length - 1] = '\0';
    if (!tempDir[0]) {
        DR_TestCase(0, "diretorio temporario nao pode ficar vazio", "");
        return 0;
    }
    return 1;
}

// A folder that did not exist before: an existing one is never reused.
static int CreateScratch(const char* tempDir, char* scratchDir, int capacity)
{
    for (int attempt = 0; attempt < SCRATCH_ATTEMPTS; attempt++) {
        int length = snprintf(scratchDir, (size_t)capacity, "%s\\%s%lu_%lu_%d", tempDir, DR_SCRATCH_PREFIX,
                              GetCurrentProcessId(), GetTickCount(), attempt);
        if (length < 0 || length > capacity - 1)
            break;
        if (CreateDirectoryA(scratchDir, NULL))
            return 1;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    DR_TestCase(0, "criar pasta exclusiva nova sob o temporario", "nenhuma tentativa criou");
    return 0;
}

int DR_RunRetentionSelfTest(void)
{
    DR_TestCases = 0;
    DR_TestFailures = 0;
    DR_TestLogFile = NULL;
    if (!OpenTestLog())
        return 0;
    WriteRule('=');
    DR_TestLog("RETENCAO DOS RELATORIOS DE DESCONEXAO -- teste destrutivo isolado");
    DR_TestLog("pasta exclusiva e RECEM-CRIADA sob GetTempPath");
    DR_TestLog("a pasta do jogo NAO e' tocada; pasta preexistente NUNCA e' usada");
    WriteRule('=');

    char tempDir[MAX_PATH];
    char scratchDir[MAX_PATH] = "";
    char reportsDir[MAX_PATH] = "";
    if (!ReadTempDir(tempDir, sizeof tempDir) || !CreateScratch(tempDir, scratchDir, sizeof scratchDir))
        return DR_FinishSelfTest(scratchDir, reportsDir, tempDir, 0);

    DR_TestCase(1, "pasta exclusiva criada por esta execucao", scratchDir);
    DR_TestCase(DR_IsScratchName(scratchDir + strlen(tempDir) + 1), "nome da pasta segue PREFIXO+PID_TICK_TENTATIVA",
                scratchDir);
    if (!DR_JoinPath(reportsDir, sizeof reportsDir, scratchDir, "reports")) {
        reportsDir[0] = '\0';
        DR_TestCase(0, "montar o caminho de reports", "");
        return DR_FinishSelfTest(scratchDir, reportsDir, tempDir, 1);
    }
    if (!CreateDirectoryA(reportsDir, NULL)) {
        char detail[512];
        DR_TestFormat(detail, sizeof detail, "GetLastError=%lu", GetLastError());
        DR_TestCase(0, "criar reports nova dentro da pasta exclusiva", detail);
        return DR_FinishSelfTest(scratchDir, reportsDir, tempDir, 1);
    }
    DR_RunSelfTestCases(scratchDir, reportsDir, tempDir);
    return DR_FinishSelfTest(scratchDir, reportsDir, tempDir, 1);
}
