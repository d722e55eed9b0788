// The first-run installation after the folder choice, in scratch folders: the
// platform seam places the special folders in the scratch folder, records
// message boxes and the start of the installed launcher, and can pretend the
// launcher already runs from the target.
#include <objbase.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "install/install.h"
#include "shell/platform.h"
#include "test_support.h"

struct MessageSeen {
    std::string text, caption;
    UINT flags;
};

static std::vector<MessageSeen> Messages;
static std::string Started, StartedIn, ScratchRoot, FakeModulePath;
static bool StartFails, NoProgramsFolder;

static int WINAPI RecordMessage(HWND, LPCSTR text, LPCSTR caption, UINT flags)
{
    Messages.push_back(MessageSeen{text, caption, flags});
    return IDOK;
}

static BOOL WINAPI ScratchSpecialFolder(HWND, LPSTR path, int folder, BOOL)
{
    if (folder == CSIDL_PROGRAMS && NoProgramsFolder)
        return FALSE;
    std::string place = ScratchRoot + (folder == CSIDL_PROGRAMS ? "\\programs" : "\\desktop");
    CreateDirectoryA(place.c_str(), NULL);
    snprintf(path, MAX_PATH, "%s", place.c_str());
    return TRUE;
}

static BOOL WINAPI RecordStart(LPCSTR application, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                               LPVOID, LPCSTR folder, LPSTARTUPINFOA, LPPROCESS_INFORMATION process)
{
    if (StartFails) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    Started = application;
    StartedIn = folder;
    process->hProcess = OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());
    process->hThread = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
    return TRUE;
}

static DWORD WINAPI FakeModule(HMODULE, LPSTR path, DWORD size)
{
    snprintf(path, size, "%s", FakeModulePath.c_str());
    return (DWORD)FakeModulePath.size();
}

class Installer : public ScratchFolderTest {
protected:
    void SetUp() override
    {
        ScratchFolderTest::SetUp();
        CoInitialize(NULL);
        Messages.clear();
        Started.clear();
        StartedIn.clear();
        StartFails = false;
        NoProgramsFolder = false;
        ScratchRoot = path;
        Os.MessageBoxA = RecordMessage;
        Os.SHGetSpecialFolderPathA = ScratchSpecialFolder;
        Os.CreateProcessA = RecordStart;
        chosen = path + "\\games";
        CreateDirectoryA(chosen.c_str(), NULL);
        installed = chosen + "\\Quorvane";
    }
    void TearDown() override
    {
        ResetPlatformCalls();
        CoUninitialize();
        ScratchFolderTest::TearDown();
    }
    static std::string ReadLink(const std::string& link, std::string* folder, std::string* description, int* icon)
    {
        IShellLinkA* shell = NULL;
        IPersistFile* file = NULL;
        char target[MAX_PATH] = "", text[MAX_PATH] = "", iconPath[MAX_PATH] = "";
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void**)&shell))) {
            WCHAR wide[MAX_PATH];
            MultiByteToWideChar(CP_ACP, 0, link.c_str(), -1, wide, MAX_PATH);
            if (SUCCEEDED(shell->QueryInterface(IID_IPersistFile, (void**)&file)) &&
                SUCCEEDED(file->Load(wide, STGM_READ))) {
                shell->GetPath(target, MAX_PATH, NULL, 0);
                shell->GetWorkingDirectory(text, MAX_PATH);
                *folder = text;
                shell->GetDescription(text, MAX_PATH);
                *description = text;
                shell->GetIconLocation(iconPath, MAX_PATH, icon);
            }
            if (file)
                file->Release();
            shell->Release();
        }
        return target;
    }
    static bool Exists(const std::string& name) { return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES; }
    std::string chosen, installed;
};

static std::string ExpectedConfig()
{
    return std::string("// Escrito pelo proprio launcher na instalacao.\r\n"
                       "// MANIFESTO pede a lista do jogo inteiro. Depois da primeira\r\n"
                       "// atualizacao bem sucedida este arquivo e substituido pela\r\n"
                       "// versao normal, sem essa linha.\r\n\r\nURL_BASE    ") +
           DEFAULT_BASE_URL + "\r\nMANIFESTO   manifesto_completo.txt\r\nEXECUTAVEL  client.exe\r\n";
}

TEST_F(Installer, FreshInstallLaysOutTheGameFolderAndStartsIt)
{
    EXPECT_EQ(InstallInto(chosen.c_str()), 1);
    EXPECT_TRUE(Messages.empty());
    char running[MAX_PATH];
    GetModuleFileNameA(NULL, running, sizeof running);
    EXPECT_EQ(ReadWholeFile((installed + "\\launcher.exe").c_str()), ReadWholeFile(running));
    EXPECT_EQ(ReadWholeFile((installed + "\\launcher.cfg").c_str()), ExpectedConfig());
    for (const char* place : {"\\desktop\\Quorvane.lnk", "\\programs\\Quorvane.lnk"}) {
        std::string folder, description;
        int icon = -1;
        EXPECT_EQ(ReadLink(path + place, &folder, &description, &icon), installed + "\\launcher.exe") << place;
        EXPECT_EQ(folder, installed);
        EXPECT_EQ(description, "Quorvane");
        EXPECT_EQ(icon, 0);
    }
    EXPECT_EQ(Started, installed + "\\launcher.exe");
    EXPECT_EQ(StartedIn, installed);
}

TEST_F(Installer, ExistingInstallIsOverwritten)
{
    CreateDirectoryA(installed.c_str(), NULL);
    WriteWholeFile((installed + "\\launcher.exe").c_str(), "older launcher");
    WriteWholeFile((installed + "\\launcher.cfg").c_str(), "URL_BASE http://old/\n");
    EXPECT_EQ(InstallInto(chosen.c_str()), 1);
    EXPECT_NE(ReadWholeFile((installed + "\\launcher.exe").c_str()), "older launcher");
    EXPECT_EQ(ReadWholeFile((installed + "\\launcher.cfg").c_str()), ExpectedConfig());
}

TEST_F(Installer, LauncherRunningFromTheTargetIsNotCopied)
{
    CreateDirectoryA(installed.c_str(), NULL);
    WriteWholeFile((installed + "\\launcher.exe").c_str(), "the running launcher");
    FakeModulePath = chosen + "\\QUORVANE\\Launcher.EXE";  // the same file in another letter case
    Os.GetModuleFileNameA = FakeModule;
    EXPECT_EQ(InstallInto(chosen.c_str()), 1);
    EXPECT_EQ(ReadWholeFile((installed + "\\launcher.exe").c_str()), "the running launcher");
    EXPECT_TRUE(Exists(installed + "\\launcher.cfg"));
    EXPECT_EQ(Started, installed + "\\launcher.exe");
}

TEST_F(Installer, LauncherRunningFromTheTargetIsNotCopiedWhateverTheCaseOfItsAccents)
{
    std::string accented = chosen + "\\Jogos\xC1GUA";
    CreateDirectoryA(accented.c_str(), NULL);
    std::string target = accented + "\\Quorvane";
    CreateDirectoryA(target.c_str(), NULL);
    WriteWholeFile((target + "\\launcher.exe").c_str(), "the running launcher");
    FakeModulePath = chosen + "\\jogos\xE1gua\\quorvane\\LAUNCHER.exe";
    Os.GetModuleFileNameA = FakeModule;
    EXPECT_EQ(InstallInto(accented.c_str()), 1);
    EXPECT_EQ(ReadWholeFile((target + "\\launcher.exe").c_str()), "the running launcher");
}

TEST_F(Installer, TooLongAChoiceIsRefusedNotCut)
{
    std::string tooLong = chosen + "\\" + std::string(240, 'l');
    EXPECT_EQ(InstallInto(tooLong.c_str()), 0);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].caption, "Quorvane");
    EXPECT_EQ(Messages[0].flags, (UINT)MB_ICONERROR);
    EXPECT_NE(Messages[0].text.find("shorter location"), std::string::npos);
    EXPECT_TRUE(Started.empty());
}

TEST_F(Installer, FolderThatCannotBeMadeIsReported)
{
    EXPECT_EQ(InstallInto((path + "\\missing\\deeper").c_str()), 0);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].text, "Could not create the installation folder.\nChoose another location.");
    EXPECT_EQ(Messages[0].flags, (UINT)MB_ICONERROR);
}

TEST_F(Installer, NoStartMenuStillInstalls)
{
    NoProgramsFolder = true;
    EXPECT_EQ(InstallInto(chosen.c_str()), 1);
    EXPECT_TRUE(Exists(path + "\\desktop\\Quorvane.lnk"));
    EXPECT_FALSE(Exists(path + "\\programs\\Quorvane.lnk"));
}

TEST_F(Installer, InstalledLauncherThatCannotStartIsStillInstalled)
{
    StartFails = true;
    EXPECT_EQ(InstallInto(chosen.c_str()), 1);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].text, "Installed, but could not start the launcher.\nOpen it from the desktop shortcut.");
    EXPECT_EQ(Messages[0].flags, (UINT)MB_ICONINFORMATION);
    EXPECT_EQ(Messages[0].caption, "Quorvane");
}
