// Scratch folders and file helpers for the unit tests.
#include "test_support.h"

#include <stdio.h>

#include "shell/shell.h"

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

void ScratchFolderTest::SetUp()
{
    static int serial;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    char name[MAX_PATH];
    snprintf(name, sizeof name, "%sqrv_unit_%lu_%lu_%d", temp, GetCurrentProcessId(), GetTickCount(), ++serial);
    path = name;
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), NULL)) << path;
    GetCurrentDirectoryA(sizeof previous_, previous_);
    ASSERT_TRUE(SetCurrentDirectoryA(path.c_str()));
    snprintf(AppDir, sizeof AppDir, "%s", path.c_str());
}

void ScratchFolderTest::TearDown()
{
    SetCurrentDirectoryA(previous_);
    RemoveTree(path);
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

void WriteWholeFile(const char* name, const std::string& contents)
{
    FILE* file = fopen(name, "wb");
    ASSERT_NE(file, nullptr) << name;
    fwrite(contents.data(), 1, contents.size(), file);
    fclose(file);
}
