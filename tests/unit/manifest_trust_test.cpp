// Signed manifests: the check of signature, serial and expiry against keys
// made here with the CryptoAPI (the end-to-end tests sign with OpenSSL), and
// the update run that refuses what fails it.
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "shell/shell.h"
#include "update/update.h"
#include "update_fixture.h"

namespace {

struct TestKey {
    HCRYPTPROV provider;
    HCRYPTKEY key;
    std::string pem;
};

// A 2048-bit key pair of this process; the public half as PEM.
TestKey MakeKey()
{
    TestKey made = {};
    EXPECT_TRUE(AcquireShaProvider(&made.provider));
    EXPECT_TRUE(CryptGenKey(made.provider, AT_SIGNATURE, 2048u << 16, &made.key));
    DWORD infoSize = 0;
    CryptExportPublicKeyInfo(made.provider, AT_SIGNATURE, X509_ASN_ENCODING, NULL, &infoSize);
    std::vector<BYTE> info(infoSize);
    EXPECT_TRUE(CryptExportPublicKeyInfo(made.provider, AT_SIGNATURE, X509_ASN_ENCODING,
                                         (CERT_PUBLIC_KEY_INFO*)info.data(), &infoSize));
    BYTE der[1024];
    DWORD derSize = sizeof der;
    EXPECT_TRUE(CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, info.data(), 0, NULL, der, &derSize));
    char base64[2048];
    DWORD base64Size = sizeof base64;
    EXPECT_TRUE(CryptBinaryToStringA(der, derSize, CRYPT_STRING_BASE64, base64, &base64Size));
    made.pem = std::string("-----BEGIN PUBLIC KEY-----\r\n") + base64 + "-----END PUBLIC KEY-----\r\n";
    return made;
}

// "ASSINATURA <base64>\n" over the bytes, most significant byte first as OpenSSL writes it.
std::string SignatureLine(const TestKey& key, const std::string& signedBytes)
{
    HCRYPTHASH hash = 0;
    EXPECT_TRUE(CryptCreateHash(key.provider, CALG_SHA_256, 0, 0, &hash));
    CryptHashData(hash, (const BYTE*)signedBytes.data(), (DWORD)signedBytes.size(), 0);
    BYTE signature[512];
    DWORD size = sizeof signature;
    EXPECT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, NULL, 0, signature, &size));
    CryptDestroyHash(hash);
    std::string bigEndian(signature, signature + size);
    std::string reversed(bigEndian.rbegin(), bigEndian.rend());
    char base64[1024];
    DWORD base64Size = sizeof base64;
    CryptBinaryToStringA((const BYTE*)reversed.data(), size, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, base64,
                         &base64Size);
    return std::string("ASSINATURA ") + base64 + "\n";
}

std::string DateText(int offsetDays)
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME file;
    SystemTimeToFileTime(&now, &file);
    ULARGE_INTEGER ticks = {{file.dwLowDateTime, file.dwHighDateTime}};
    ticks.QuadPart += (ULONGLONG)((LONGLONG)offsetDays * 86400LL * 10000000LL);
    file.dwLowDateTime = ticks.LowPart;
    file.dwHighDateTime = ticks.HighPart;
    FileTimeToSystemTime(&file, &now);
    char text[16];
    snprintf(text, sizeof text, "%04d-%02d-%02d", now.wYear, now.wMonth, now.wDay);
    return text;
}

}  // namespace

class SignedManifest : public UpdateEngineTest {
protected:
    static void SetUpTestSuite()
    {
        first = MakeKey();
        second = MakeKey();
    }
    static void TearDownTestSuite()
    {
        for (TestKey* key : {&first, &second}) {
            CryptDestroyKey(key->key);
            CryptReleaseContext(key->provider, 0);
        }
    }
    void SetUp() override
    {
        UpdateEngineTest::SetUp();
        UseKeys({&first});
    }
    void TearDown() override
    {
        ForgetSerialFloor();
        ManifestKeys = ManifestKeyList{NULL, 0};
        UpdateEngineTest::TearDown();
    }
    void UseKeys(std::vector<const TestKey*> keys)
    {
        pems.clear();
        for (const TestKey* key : keys)
            pems.push_back(key->pem.c_str());
        ManifestKeys = ManifestKeyList{pems.data(), (int)pems.size()};
    }
    // JudgeManifest of the bytes as served, asked for as m.txt, and the log line it wrote.
    int Judge(const std::string& served, std::string* logged, AcceptedRelease* accepted)
    {
        DeleteFileA("launcher.log");
        WriteWholeFile("m.txt", served);
        FILE* file = fopen("m.txt", "rb");
        AcceptedRelease floor = {0, 0};
        int verdict = JudgeManifest(file, "m.txt", &floor, accepted);
        fclose(file);
        std::vector<std::string> log = RunLogMessages();
        *logged = log.empty() ? "" : log.back();
        return verdict;
    }
    // The manifest road for a manifest served as manifesto.txt; the log's last line.
    ManifestOutcome Fetch(const std::string& served, std::string* logged = nullptr)
    {
        DeleteFileA("launcher.log");
        server.Serve("/manifesto.txt", served);
        std::string url = server.BaseUrl() + "manifesto.txt";
        int frozen;
        ManifestOutcome outcome = FetchManifest(internet, url.c_str(), &manifest, &frozen);
        std::vector<std::string> log = RunLogMessages();
        if (logged)
            *logged = log.empty() ? "" : log.back();
        return outcome;
    }
    static std::string Release(const TestKey& key, int serial, const std::string& name = "manifesto.txt")
    {
        std::string body = "VERSAO 1\nARQUIVO " + std::string(64, 'a') + " 1 a.bin\nNOME " + name + "\nSERIE " +
                           std::to_string(serial) + "\n";
        return body + SignatureLine(key, body);
    }

    static TestKey first;
    static TestKey second;
    std::vector<const char*> pems;
    Manifest manifest;
};
TestKey SignedManifest::first;
TestKey SignedManifest::second;

struct TrustCase {
    const char* name;
    std::string served;
    const char* logged;  // null: accepted
};

TEST_F(SignedManifest, SignatureNameSerialAndExpiry)
{
    const std::string files = "VERSAO 1\nARQUIVO " + std::string(64, 'a') + " 1 a.bin\n";
    const std::string body = files + "NOME m.txt\nSERIE 5\n";
    const std::string crlf = "VERSAO 1\r\nARQUIVO " + std::string(64, 'a') + " 1 a.bin\r\nNOME m.txt\r\nSERIE 5\r\n";
    const std::string signature = SignatureLine(first, body);
    const std::string signedBody = body + signature;
    std::string changed = body;
    changed[10] ^= 1;
    auto with = [](const std::string& text) { return text + SignatureLine(first, text); };
    const std::string unsigned_ = "manifesto sem assinatura valida: m.txt";
    const std::string otherName = "manifesto com outro nome: m.txt";
    const std::string noSerial = "manifesto sem SERIE: m.txt";
    const std::string yesterday = DateText(-1);
    const std::string expiredYesterday = "manifesto expirado em " + yesterday;
    const TrustCase cases[] = {
        {"good, LF", signedBody, nullptr},
        {"good, CR LF as served", crlf + SignatureLine(first, crlf), nullptr},
        {"no final line end", signedBody.substr(0, signedBody.size() - 1), nullptr},
        {"one byte changed before the signature", changed + signature, unsigned_.c_str()},
        {"an OBJETOS line slipped in before the signature", "VERSAO 1\nOBJETOS evil/\n" + body.substr(9) + signature,
         unsigned_.c_str()},
        {"an OBJETOS line after the signature", signedBody + "OBJETOS evil/\n", unsigned_.c_str()},
        {"an OBJETOS line signed with the rest", with(files + "OBJETOS objetos/\nNOME m.txt\nSERIE 5\n"), nullptr},
        {"cut before the signature", body, unsigned_.c_str()},
        {"cut inside the signature", signedBody.substr(0, signedBody.size() - 20), unsigned_.c_str()},
        {"garbage base64", body + "ASSINATURA not*base64!\n", unsigned_.c_str()},
        {"two words", body + "ASSINATURA QUJD RA==\n", unsigned_.c_str()},
        {"signed by another key", body + SignatureLine(second, body), unsigned_.c_str()},
        {"two signatures, the second verifies", body + SignatureLine(second, body) + signature, nullptr},
        {"a file line after the signatures",
         signedBody + "ARQUIVO " + std::string(64, 'b') + " 1 evil.exe\n", unsigned_.c_str()},
        {"a blank line after the signatures", signedBody + "\n", unsigned_.c_str()},
        {"a signature line longer than any key's",
         body + "ASSINATURA " + std::string(1100, 'A') + "\n", unsigned_.c_str()},
        {"the name in another case", with(files + "NOME M.TXT\nSERIE 5\n"), nullptr},
        {"no NOME", with(files + "SERIE 5\n"), otherName.c_str()},
        {"the other manifest of the release", with(files + "NOME manifesto_completo.txt\nSERIE 5\n"),
         otherName.c_str()},
        {"NOME twice", with(files + "NOME m.txt\nNOME m.txt\nSERIE 5\n"), otherName.c_str()},
        {"NOME of two words", with(files + "NOME m.txt x\nSERIE 5\n"), otherName.c_str()},
        {"no SERIE", with(files + "NOME m.txt\n"), noSerial.c_str()},
        {"SERIE twice", with(body + "SERIE 6\n"), noSerial.c_str()},
        {"SERIE without a number", with(files + "NOME m.txt\nSERIE 5a\n"), noSerial.c_str()},
        {"SERIE beyond 32 bits", with(files + "NOME m.txt\nSERIE 4294967296\n"), noSerial.c_str()},
        {"EXPIRA yesterday", with(body + "EXPIRA " + yesterday + "\n"), expiredYesterday.c_str()},
        {"EXPIRA today", with(body + "EXPIRA " + DateText(0) + "\n"), nullptr},
        {"EXPIRA unreadable", with(body + "EXPIRA 2031-02-30\n"), "manifesto expirado em 2031-02-30"},
        {"EXPIRA twice", with(body + "EXPIRA 2099-01-01\nEXPIRA 2099-01-02\n"), "manifesto expirado em 2099-01-02"},
    };
    for (const TrustCase& c : cases) {
        std::string logged;
        AcceptedRelease accepted = {0, 0};
        EXPECT_EQ(Judge(c.served, &logged, &accepted), c.logged ? 0 : 1) << c.name << ": " << logged;
        if (c.logged) {
            EXPECT_EQ(logged, c.logged) << c.name;
        } else {
            EXPECT_EQ(accepted.serial, 5u) << c.name;
        }
        EXPECT_EQ(GetFileAttributesA(SERIAL_FILE_NAME), INVALID_FILE_ATTRIBUTES) << c.name << ": the verdict records nothing";
    }
}

static void SetRegistryValue(const char* name, const char* text)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Quorvane\\launcher.serie", 0, NULL, 0, KEY_SET_VALUE, NULL,
                              &key, NULL),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text, (DWORD)strlen(text) + 1);
    RegCloseKey(key);
}

// The name earlier launchers gave the registry value: the folder's path in lower case.
static std::string PathValueName()
{
    std::string name = AppDir;
    CharLowerBuffA(&name[0], (DWORD)name.size());
    return name;
}

static DWORD WINAPI CloseAfterHalfASecond(LPVOID handle)
{
    Sleep(500);
    CloseHandle((HANDLE)handle);
    return 0;
}

// What may become of each copy of the floor (serial 7 accepted), and what a
// replayed release of serial 6 and a newer one of serial 8 then meet.
struct FloorCase {
    const char* name;
    const char* file;      // launcher.serie afterwards: null deletes it
    int holdFile;          // another program holds launcher.serie without sharing: 1 throughout, 2 for half a second
    const char* registry;  // the registry copy afterwards: null deletes it, "keep" leaves it
    bool replayRefused;
    bool newerAccepted;
};

TEST_F(SignedManifest, TheFloorNeverGoesDownWhateverBecomesOfOneCopy)
{
    const char* const unknown = "serie aceita ilegivel em launcher.serie e no registro; nenhum manifesto e aceito "
                                "nesta execucao";
    const char* const held = "launcher.serie em uso por outro programa (32); nenhum manifesto e aceito nesta execucao";
    const FloorCase cases[] = {
        {"both copies whole", "7\r\n", 0, "keep", true, true},
        {"the file emptied by a power cut", "", 0, "keep", true, true},
        {"the file damaged", "garbage\r\n", 0, "keep", true, true},
        {"the file cut in its number", "7", 0, "keep", true, true},
        {"the file deleted", nullptr, 0, "keep", true, true},
        {"the file held by a scanner for a moment", "7\r\n", 2, "2\r\n", true, true},
        {"the file held: nothing is accepted", "7\r\n", 1, "keep", true, false},
        {"the file held, the registry lower: nothing is accepted", "7\r\n", 1, "2\r\n", true, false},
        {"the file lower than the registry", "3\r\n", 0, "keep", true, true},
        {"the registry copy deleted", "7\r\n", 0, nullptr, true, true},
        {"the registry copy damaged", "7\r\n", 0, "seven", true, true},
        {"the registry lower than the file", "7\r\n", 0, "2\r\n", true, true},
        {"both damaged: nothing is accepted", "", 0, "seven", true, false},
        {"held, no registry copy: nothing is accepted", "7\r\n", 1, nullptr, true, false},
    };
    const std::string accepted = Release(first, 7);
    char valueName[MAX_PATH];
    ASSERT_TRUE(SerialFloorValueName(valueName, sizeof valueName)) << "this file system gives folders an identity";
    for (const FloorCase& c : cases) {
        ForgetSerialFloor();
        DeleteFileA(SERIAL_FILE_NAME);
        ASSERT_EQ(Fetch(accepted), MANIFEST_ACCEPTED) << c.name;
        ASSERT_EQ(ReadWholeFile(SERIAL_FILE_NAME), "7\r\n") << c.name;
        if (c.file)
            WriteWholeFile(SERIAL_FILE_NAME, c.file);
        else
            DeleteFileA(SERIAL_FILE_NAME);
        if (!c.registry)
            ForgetSerialFloor();
        else if (strcmp(c.registry, "keep") != 0)
            SetRegistryValue(valueName, c.registry);
        HANDLE holder = c.holdFile ? CreateFileA(SERIAL_FILE_NAME, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL)
                                   : INVALID_HANDLE_VALUE;
        HANDLE releaser = c.holdFile == 2 ? CreateThread(NULL, 0, CloseAfterHalfASecond, holder, 0, NULL) : NULL;
        std::string logged;
        EXPECT_EQ(Fetch(Release(first, 6), &logged), MANIFEST_REFUSED) << c.name;
        EXPECT_EQ(Fetch(Release(first, 8), &logged) == MANIFEST_ACCEPTED, c.newerAccepted) << c.name << ": " << logged;
        if (!c.newerAccepted) {
            EXPECT_EQ(logged, c.holdFile ? held : unknown) << c.name;
        }
        if (releaser) {
            WaitForSingleObject(releaser, INFINITE);
            CloseHandle(releaser);
        } else if (c.holdFile) {
            CloseHandle(holder);
            EXPECT_EQ(ReadWholeFile(SERIAL_FILE_NAME), "7\r\n") << c.name << ": a held copy is never rewritten";
        }
        if (c.newerAccepted) {
            EXPECT_EQ(Fetch(Release(first, 7), &logged), MANIFEST_REFUSED) << c.name;
            EXPECT_EQ(logged, "manifesto mais antigo que o aceito: serie 7 < 8") << c.name;
            EXPECT_EQ(ReadWholeFile(SERIAL_FILE_NAME), "8\r\n") << c.name << ": a lagging copy is rewritten";
        }
    }
}

TEST_F(SignedManifest, TwoInstallationsKeepFloorsOfTheirOwn)
{
    ASSERT_EQ(Fetch(Release(first, 9)), MANIFEST_ACCEPTED);
    char here[MAX_PATH];
    CopyCut(here, sizeof here, AppDir);
    CreateDirectoryA("other", NULL);
    ASSERT_TRUE(SetCurrentDirectoryA("other"));
    snprintf(AppDir, sizeof AppDir, "%s\\other", here);
    EXPECT_EQ(Fetch(Release(first, 3)), MANIFEST_ACCEPTED) << "another folder's floor is its own";
    ForgetSerialFloor();
    SetCurrentDirectoryA(here);
    CopyCut(AppDir, sizeof AppDir, here);
    EXPECT_EQ(Fetch(Release(first, 8)), MANIFEST_REFUSED);
}

// One folder keeps one floor whatever path reaches it (a drive letter that
// changed, a mapped drive, a junction; here another spelling of the path),
// and a floor kept under the path by an earlier launcher still counts.
TEST_F(SignedManifest, OneFolderKeepsOneFloorWhateverPathReachesIt)
{
    char here[MAX_PATH];
    CopyCut(here, sizeof here, AppDir);
    CreateDirectoryA("sub", NULL);
    std::string logged;
    ASSERT_EQ(Fetch(Release(first, 9)), MANIFEST_ACCEPTED);
    snprintf(AppDir, sizeof AppDir, "%s\\sub\\..", here);
    DeleteFileA(SERIAL_FILE_NAME);
    EXPECT_EQ(Fetch(Release(first, 8), &logged), MANIFEST_REFUSED);
    EXPECT_EQ(logged, "manifesto mais antigo que o aceito: serie 8 < 9");
    ForgetSerialFloor();
    CopyCut(AppDir, sizeof AppDir, here);
    ForgetSerialFloor();

    SetRegistryValue(PathValueName().c_str(), "7\r\n");  // an earlier launcher's value, and no file
    DeleteFileA(SERIAL_FILE_NAME);
    EXPECT_EQ(Fetch(Release(first, 6), &logged), MANIFEST_REFUSED);
    EXPECT_EQ(logged, "manifesto mais antigo que o aceito: serie 6 < 7");
    snprintf(AppDir, sizeof AppDir, "%s\\sub\\..", here);
    DeleteFileA(SERIAL_FILE_NAME);
    EXPECT_EQ(Fetch(Release(first, 6), &logged), MANIFEST_REFUSED) << "the value moved to the folder's identity";
    ForgetSerialFloor();
    CopyCut(AppDir, sizeof AppDir, here);
}

TEST_F(SignedManifest, KeyRotationKeepsWorking)
{
    ASSERT_EQ(Fetch(Release(first, 7)), MANIFEST_ACCEPTED);
    EXPECT_EQ(Fetch(Release(first, 7)), MANIFEST_ACCEPTED) << "the same release again";
    UseKeys({&first, &second});  // a build that knows both keys during the change
    EXPECT_EQ(Fetch(Release(second, 8)), MANIFEST_ACCEPTED);
    EXPECT_EQ(ReadWholeFile(SERIAL_FILE_NAME), "8\r\n");
}

TEST_F(SignedManifest, WithoutKeysEveryManifestIsTakenAsBefore)
{
    ManifestKeys = ManifestKeyList{NULL, 0};
    EXPECT_EQ(Fetch("VERSAO 1\nARQUIVO " + std::string(64, 'a') + " 1 a.bin\nASSINATURA garbage\n"),
              MANIFEST_ACCEPTED);
    EXPECT_EQ(GetFileAttributesA(SERIAL_FILE_NAME), INVALID_FILE_ATTRIBUTES);
}

// A refused or empty answer leaves the manifest last accepted byte for byte.
TEST_F(SignedManifest, RefusedManifestFetchesNothingAndChangesNothing)
{
    std::string body = "VERSAO 2\nARQUIVO " + Sha256Of("new") + " 3 a.bin\nNOME manifesto.txt\nSERIE 3\n";
    std::string tampered = "VERSAO 2\nARQUIVO " + Sha256Of("evil") + " 4 a.bin\nNOME manifesto.txt\nSERIE 3\n";
    const std::string accepted = Release(first, 2);
    ASSERT_EQ(Fetch(accepted), MANIFEST_ACCEPTED);
    server.ForgetRequests();
    server.Serve("/a.bin", "evil");
    server.Serve("/manifesto.txt", tampered + SignatureLine(first, body));
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_EQ(server.RequestedPaths(), std::vector<std::string>{"/manifesto.txt"});
    EXPECT_EQ(GetFileAttributesA("a.bin"), INVALID_FILE_ATTRIBUTES);
    std::vector<std::string> log = RunLogMessages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "manifesto sem assinatura valida: manifesto.txt");
    EXPECT_EQ(log.back(), "Could not check for updates; starting the game anyway.");
    EXPECT_STREQ(StatusBoard.failure, "");
    for (const std::string& refused : {std::string("<html>Sign in to the hotel network</html>"), std::string()}) {
        EXPECT_EQ(Fetch(refused), MANIFEST_REFUSED);
        ManifestKeys = ManifestKeyList{NULL, 0};
        EXPECT_EQ(Fetch(refused), MANIFEST_EMPTY) << "an unsigned build refuses it too";
        UseKeys({&first});
    }
    EXPECT_EQ(ReadWholeFile("manifesto.txt"), accepted);
    EXPECT_EQ(GetFileAttributesA("manifesto.txt.tmp"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ReadWholeFile(SERIAL_FILE_NAME), "2\r\n");
}

TEST_F(SignedManifest, SignedReleaseUpdatesAndNeverListsTheSerialFile)
{
    std::string body = "VERSAO 2\nARQUIVO " + Sha256Of("new") + " 3 a.bin\nARQUIVO " + Sha256Of("1") +
                       " 1 .\\Launcher.Serie.\nNOME manifesto.txt\nSERIE 3\n";
    server.Serve("/a.bin", "new");
    server.Serve("/manifesto.txt", body + SignatureLine(first, body));
    EXPECT_EQ(RunUpdate(), 0);  // the refused entry counts as a failed file
    EXPECT_EQ(ReadWholeFile("a.bin"), "new");
    EXPECT_EQ(ReadWholeFile(SERIAL_FILE_NAME), "3\r\n");
    std::vector<std::string> log = RunLogMessages();
    EXPECT_NE(std::find(log.begin(), log.end(), "caminho inseguro recusado: .\\Launcher.Serie."), log.end());
    EXPECT_EQ(server.RequestedPaths(), (std::vector<std::string>{"/manifesto.txt", "/a.bin"}));
}

// Once the last manifest accepted has expired and nothing newer came, the
// player is told since when the game went unchecked; before that, nothing changes.
TEST_F(SignedManifest, AFrozenMirrorIsToldToThePlayer)
{
    const struct {
        int expiryOffsetDays;
        const char* status;
    } cases[] = {
        {0, "Could not check for updates; starting the game anyway."},
        {-1, nullptr},
    };
    for (const auto& c : cases) {
        std::string date = DateText(c.expiryOffsetDays);
        AcceptedRelease last = {4, ReadCalendarDate(date.c_str(), date.size())};
        RaiseSerialFloor(&last);
        DeleteFileA("launcher.log");
        EXPECT_EQ(RunUpdate(), 1);  // the server has no manifest: 404
        std::string expected =
            c.status ? c.status : "Could not check for updates since " + date + "; starting the game anyway.";
        EXPECT_EQ(std::string(StatusBoard.status), expected) << date;
        std::vector<std::string> log = RunLogMessages();
        EXPECT_EQ(std::find(log.begin(), log.end(), "nenhum manifesto aceito desde que o ultimo expirou em " + date) !=
                      log.end(),
                  c.status == nullptr)
            << date;
        ForgetSerialFloor();
        DeleteFileA(SERIAL_FILE_NAME);
    }
}
