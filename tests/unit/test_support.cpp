// Scratch folders and file helpers for the unit tests.
#include "test_support.h"

#include <stdio.h>

#include "patch/patch.h"

#ifdef _WIN32
#include "shell/shell.h"

static const char SEPARATOR = '\\';

static void RemoveTree(const std::string& folder)
{
    WIN32_FIND_DATAA entry;
    HANDLE listing = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (listing != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string child = folder + "\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(listing, &entry));
        FindClose(listing);
    }
    RemoveDirectoryA(folder.c_str());
}

static std::string MakeScratch(void)
{
    static int serial;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    char name[MAX_PATH];
    snprintf(name, sizeof name, "%sqrv_unit_%lu_%lu_%d", temp, GetCurrentProcessId(), GetTickCount(), ++serial);
    return CreateDirectoryA(name, NULL) ? name : "";
}

static std::string CurrentFolder(void)
{
    char folder[MAX_PATH];
    GetCurrentDirectoryA(sizeof folder, folder);
    return folder;
}

static bool Enter(const std::string& folder)
{
    return SetCurrentDirectoryA(folder.c_str()) != 0;
}
#else
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

static const char SEPARATOR = '/';

static int RemoveEntry(const char* name, const struct stat*, int, struct FTW*)
{
    return remove(name);
}

static void RemoveTree(const std::string& folder)
{
    nftw(folder.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

static std::string MakeScratch(void)
{
    char name[] = "/tmp/qrv_unit_XXXXXX";
    return mkdtemp(name) ? name : "";
}

static std::string CurrentFolder(void)
{
    char folder[4096];
    return getcwd(folder, sizeof folder) ? folder : "/";
}

static bool Enter(const std::string& folder)
{
    return chdir(folder.c_str()) == 0;
}
#endif

void ScratchFolderTest::SetUp()
{
    path = MakeScratch();
    ASSERT_FALSE(path.empty());
    previous_ = CurrentFolder();
    ASSERT_TRUE(Enter(path));
#ifdef _WIN32
    snprintf(AppDir, sizeof AppDir, "%s", path.c_str());
#endif
}

void ScratchFolderTest::TearDown()
{
    Enter(previous_);
    RemoveTree(path);
}

std::string JoinPath(const std::string& folder, const std::string& name)
{
    return folder + SEPARATOR + name;
}

std::string ReadWholeFile(const char* name)
{
    std::string contents;
    FILE* file = fopen(name, "rb");
    if (!file)
        return contents;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0)
        contents.append(buffer, count);
    fclose(file);
    return contents;
}

std::vector<std::string> RunLogMessages()
{
    static const size_t PREFIX = sizeof "[dd/mm hh:mm:ss] " - 1;
    std::vector<std::string> messages;
    std::string log = ReadWholeFile("launcher.log");
    for (size_t start = 0; start < log.size();) {
        size_t end = log.find("\r\n", start);
        if (end == std::string::npos)
            end = log.size();
        messages.push_back(log.substr(start + PREFIX, end - start - PREFIX));
        start = end + 2;
    }
    return messages;
}

void WriteWholeFile(const char* name, const std::string& contents)
{
    FILE* file = fopen(name, "wb");
    ASSERT_NE(file, nullptr) << name;
    fwrite(contents.data(), 1, contents.size(), file);
    fclose(file);
}

std::string NoiseBytes(size_t count, uint32_t seed)
{
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = (char)(seed >> 16);
    }
    return bytes;
}

static void Digest(const std::string& bytes, uint8_t digest[32])
{
    Sha256 sha;
    Sha256Start(&sha);
    Sha256Add(&sha, bytes.data(), bytes.size());
    Sha256Finish(&sha, digest);
}

std::string ChunkIndexOf(const std::string& file, std::string* records)
{
    records->clear();
    std::string entries;
    PageBuilder pages;
    StartPages(&pages);
    PageEntry page;
    uint8_t entry[PAGE_ENTRY_BYTES];
    for (size_t at = 0; at < file.size();) {
        uint32_t length = NextChunkLength((const uint8_t*)file.data() + at, file.size() - at);
        uint8_t digest[32], record[CHUNK_RECORD_BYTES];
        Digest(file.substr(at, length), digest);
        WriteChunkRecord(record, length, digest);
        records->append((const char*)record, sizeof record);
        if (AddChunkToPage(&pages, record, &page)) {
            WritePageEntry(entry, &page);
            entries.append((const char*)entry, sizeof entry);
        }
        at += length;
    }
    if (FinishPages(&pages, &page)) {
        WritePageEntry(entry, &page);
        entries.append((const char*)entry, sizeof entry);
    }
    ChunkIndexHeader header = {CHUNK_PARAMETERS, file.size(), {0}, (uint32_t)(records->size() / CHUNK_RECORD_BYTES),
                               (uint32_t)(entries.size() / PAGE_ENTRY_BYTES), {0}};
    Digest(file, header.fileDigest);
    Digest(*records, header.recordsDigest);
    uint8_t head[CHUNK_INDEX_HEADER_BYTES];
    WriteChunkIndexHeader(head, &header);
    return std::string((const char*)head, sizeof head) + entries;
}
