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
#include "shell/shell.h"
#include "test_support.h"

struct MessageSeen {
    std::string text, caption;
    UINT flags;
};

static std::vector<MessageSeen> Messages;
static std::string Started, StartedIn, StartedWith, ScratchRoot, FakeModulePath;
static bool StartFails, NoProgramsFolder;
static int Answer;  // the player's answer to a Yes/No question

static int WINAPI RecordMessage(HWND, LPCSTR text, LPCSTR caption, UINT flags)
{
    Messages.push_back(MessageSeen{text, caption, flags});
    return (flags & MB_YESNO) ? Answer : IDOK;
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

static BOOL WINAPI RecordStart(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                               LPVOID, LPCSTR folder, LPSTARTUPINFOA, LPPROCESS_INFORMATION process)
{
    if (StartFails) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    Started = application;
    StartedIn = folder;
    StartedWith = commandLine ? commandLine : "";
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
        StartedWith.clear();
        Answer = IDYES;
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

static const char UNINSTALL_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvane";

static std::string RegisteredText(const char* name)
{
    char value[MAX_PATH] = "";
    DWORD size = sizeof value;
    RegGetValueA(HKEY_CURRENT_USER, UNINSTALL_KEY, name, RRF_RT_REG_SZ, NULL, value, &size);
    return value;
}

static DWORD RegisteredNumber(const char* name)
{
    DWORD value = 0;
    DWORD size = sizeof value;
    RegGetValueA(HKEY_CURRENT_USER, UNINSTALL_KEY, name, RRF_RT_REG_DWORD, NULL, &value, &size);
    return value;
}

TEST_F(Installer, InstallationIsListedAndUninstallRemovesWhatItPutThereOnly)
{
    ASSERT_EQ(InstallInto(chosen.c_str()), 1);
    const std::string launcher = installed + "\\launcher.exe";
    EXPECT_EQ(RegisteredText("DisplayName"), "Quorvane");
    EXPECT_EQ(RegisteredText("DisplayIcon"), launcher + ",0");
    EXPECT_EQ(RegisteredText("InstallLocation"), installed);
    EXPECT_EQ(RegisteredText("UninstallString"), "\"" + launcher + "\" -desinstalar");
    EXPECT_FALSE(RegisteredText("DisplayVersion").empty());
    EXPECT_EQ(RegisteredNumber("NoModify"), 1u);
    EXPECT_EQ(RegisteredNumber("NoRepair"), 1u);

    // What the updates put there, and what the player did.
    SetCurrentDirectoryA(installed.c_str());
    snprintf(AppDir, sizeof AppDir, "%s", installed.c_str());
    const std::string digest(64, 'a');
    WriteWholeFile("manifesto_completo.txt", "VERSAO 1\nARQUIVO " + digest + " 1 client.exe\nARQUIVO " + digest +
                                                 " 1 data\\maps\\a.pak\nARQUIVO " + digest + " 1 launcher.exe\nARQUIVO " +
                                                 digest + " 1 ..\\outside.txt\n");
    WriteWholeFile("manifesto.txt", "VERSAO 1\nARQUIVO " + digest + " 1 data/b.pak\n");
    CreateDirectoryA("data", NULL);
    CreateDirectoryA("data\\maps", NULL);
    CreateDirectoryA("mods", NULL);
    for (const char* name : {"client.exe", "data\\maps\\a.pak", "data\\maps\\a.pak.tmp", "data\\b.pak",
                             "data\\b.pak.blocos.tmp", "data\\b.pak.quadros.tmp", "launcher.log", "launcher.serie",
                             "screenshot.png", "mods\\mine.txt", "..\\outside.txt"})
        WriteWholeFile(name, name);
    FakeModulePath = launcher;
    Os.GetModuleFileNameA = FakeModule;

    Answer = IDNO;
    EXPECT_EQ(RunUninstall(), 0);
    EXPECT_TRUE(Exists("client.exe") && Exists("launcher.cfg") && Exists(path + "\\desktop\\Quorvane.lnk"));
    EXPECT_EQ(RegisteredText("DisplayName"), "Quorvane");
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].text, "Remove Quorvane from this computer?");
    EXPECT_EQ(Messages[0].caption, "Quorvane");
    EXPECT_EQ(Messages[0].flags, (UINT)(MB_YESNO | MB_ICONQUESTION));

    Answer = IDYES;
    EXPECT_EQ(RunUninstall(), 0);
    for (const char* gone : {"client.exe", "data\\maps\\a.pak", "data\\maps\\a.pak.tmp", "data\\b.pak",
                             "data\\b.pak.blocos.tmp", "data\\b.pak.quadros.tmp", "data", "launcher.cfg", "launcher.log",
                             "launcher.serie", "launcher.lock", "manifesto.txt", "manifesto_completo.txt"})
        EXPECT_FALSE(Exists(gone)) << gone;
    for (const char* kept : {"screenshot.png", "mods\\mine.txt", "..\\outside.txt", "launcher.exe"})
        EXPECT_TRUE(Exists(kept)) << kept;
    EXPECT_FALSE(Exists(path + "\\desktop\\Quorvane.lnk"));
    EXPECT_FALSE(Exists(path + "\\programs\\Quorvane.lnk"));
    EXPECT_EQ(RegisteredText("DisplayName"), "");
    // launcher.exe is left to a copy that waits for this process to end.
    EXPECT_NE(Started.find("quorvane-desinstalar-"), std::string::npos);
    EXPECT_NE(StartedWith.find(" -desinstalar-fim " + std::to_string(GetCurrentProcessId()) + " " + launcher),
              std::string::npos);
    EXPECT_FALSE(Exists(Started)) << "the copy goes when its process ends";
    SetCurrentDirectoryA(path.c_str());
}

TEST_F(Installer, UninstallRefusesAFolderThatIsNoInstallationOrAGameThatRuns)
{
    EXPECT_EQ(RunUninstall(), 1);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].text, "Quorvane is not installed in this folder: there is nothing to remove.");

    WriteWholeFile("launcher.cfg", "\n");
    ASSERT_TRUE(TakeFolderLock(0));  // another launcher holds the folder
    EXPECT_EQ(RunUninstall(), 1);
    ReleaseFolderLock();
    ASSERT_EQ(Messages.size(), 2u);
    EXPECT_EQ(Messages[1].text, "Close Quorvane first, then try again.");
    EXPECT_TRUE(Exists(path + "\\launcher.cfg"));
}

TEST_F(Installer, TheCopyRemovesTheLauncherAndItsFolderWhenNothingElseIsThere)
{
    for (bool playerFile : {false, true}) {
        Messages.clear();
        CreateDirectoryA(installed.c_str(), NULL);
        WriteWholeFile((installed + "\\launcher.exe").c_str(), "launcher");
        if (playerFile)
            WriteWholeFile((installed + "\\save.dat").c_str(), "mine");
        std::string arguments = "-desinstalar-fim 0 " + installed + "\\launcher.exe";
        EXPECT_EQ(FinishUninstall(arguments.c_str()), 0);
        EXPECT_FALSE(Exists(installed + "\\launcher.exe"));
        EXPECT_EQ(Exists(installed), playerFile);
        ASSERT_EQ(Messages.size(), 1u);
        EXPECT_EQ(Messages[0].text, playerFile ? "Quorvane was removed. Files that were not installed by it were left in " +
                                                     installed + "."
                                               : std::string("Quorvane was removed."));
    }
}
