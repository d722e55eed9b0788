// Signed manifests: the check of signature, serial and expiry against keys
// made here with the CryptoAPI (the end-to-end tests sign with OpenSSL), and
// the update run that refuses what fails it.
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
    // AcceptManifest of the bytes as served, and the log line it wrote.
    int Accept(const std::string& served, std::string* logged)
    {
        DeleteFileA("launcher.log");
        WriteWholeFile("m.txt", served);
        int accepted = AcceptManifest("m.txt");
        std::vector<std::string> log = RunLogMessages();
        *logged = log.empty() ? "" : log.back();
        return accepted;
    }

    static TestKey first;
    static TestKey second;
    std::vector<const char*> pems;
};
TestKey SignedManifest::first;
TestKey SignedManifest::second;

struct TrustCase {
    const char* name;
    std::string served;
    const char* logged;  // null: accepted
};

TEST_F(SignedManifest, SignatureSerialAndExpiry)
{
    const std::string body = "VERSAO 1\nARQUIVO " + std::string(64, 'a') + " 1 a.bin\nSERIE 5\n";
    const std::string crlf = "VERSAO 1\r\nARQUIVO " + std::string(64, 'a') + " 1 a.bin\r\nSERIE 5\r\n";
    const std::string signature = SignatureLine(first, body);
    const std::string signedBody = body + signature;
    std::string changed = body;
    changed[10] ^= 1;
    auto with = [](const std::string& text) { return text + SignatureLine(first, text); };
    const std::string unsigned_ = "manifesto sem assinatura valida: m.txt";
    const std::string noSerial = "manifesto sem SERIE: m.txt";
    const std::string yesterday = DateText(-1);
    const std::string expiredYesterday = "manifesto expirado em " + yesterday;
    const TrustCase cases[] = {
        {"good, LF", signedBody, nullptr},
        {"good, CR LF as served", crlf + SignatureLine(first, crlf), nullptr},
        {"no final line end", signedBody.substr(0, signedBody.size() - 1), nullptr},
        {"one byte changed before the signature", changed + signature, unsigned_.c_str()},
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
        {"no SERIE", with("VERSAO 1\n"), noSerial.c_str()},
        {"SERIE twice", with(body + "SERIE 6\n"), noSerial.c_str()},
        {"SERIE without a number", with("VERSAO 1\nSERIE 5a\n"), noSerial.c_str()},
        {"SERIE beyond 32 bits", with("VERSAO 1\nSERIE 4294967296\n"), noSerial.c_str()},
        {"EXPIRA yesterday", with(body + "EXPIRA " + yesterday + "\n"), expiredYesterday.c_str()},
        {"EXPIRA today", with(body + "EXPIRA " + DateText(0) + "\n"), nullptr},
        {"EXPIRA unreadable", with(body + "EXPIRA 2031-02-30\n"), "manifesto expirado em 2031-02-30"},
        {"EXPIRA twice", with(body + "EXPIRA 2099-01-01\nEXPIRA 2099-01-02\n"), "manifesto expirado em 2099-01-02"},
    };
    for (const TrustCase& c : cases) {
        DeleteFileA(SERIAL_FILE_NAME);
        std::string logged;
        EXPECT_EQ(Accept(c.served, &logged), c.logged ? 0 : 1) << c.name << ": " << logged;
        if (c.logged) {
            EXPECT_EQ(logged, c.logged) << c.name;
        }
        EXPECT_EQ(ReadWholeFile(SERIAL_FILE_NAME), c.logged ? "" : "5\r\n") << c.name;
    }
}

TEST_F(SignedManifest, SerialNeverGoesBackAndAKeyRotationKeepsWorking)
{
    auto release = [](const TestKey& key, int serial) {
        std::string body = "VERSAO 1\nSERIE " + std::to_string(serial) + "\n";
        return body + SignatureLine(key, body);
    };
    std::string logged;
    EXPECT_EQ(Accept(release(first, 7), &logged), 1);
    EXPECT_EQ(Accept(release(first, 7), &logged), 1) << "the same release again";
    EXPECT_EQ(Accept(release(first, 6), &logged), 0);
    EXPECT_EQ(logged, "manifesto mais antigo que o aceito: serie 6 < 7");
    EXPECT_EQ(ReadWholeFile(SERIAL_FILE_NAME), "7\r\n");

    UseKeys({&first, &second});  // a build that knows both keys during the change
    EXPECT_EQ(Accept(release(second, 8), &logged), 1);
    EXPECT_EQ(ReadWholeFile(SERIAL_FILE_NAME), "8\r\n");

    WriteWholeFile(SERIAL_FILE_NAME, "garbage\r\n");  // unreadable counts as 0
    EXPECT_EQ(Accept(release(first, 1), &logged), 1);
    EXPECT_EQ(ReadWholeFile(SERIAL_FILE_NAME), "1\r\n");
}

TEST_F(SignedManifest, WithoutKeysEveryManifestIsTakenAsBefore)
{
    ManifestKeys = ManifestKeyList{NULL, 0};
    std::string logged;
    EXPECT_EQ(Accept("VERSAO 1\nASSINATURA garbage\n", &logged), 1);
    EXPECT_EQ(GetFileAttributesA(SERIAL_FILE_NAME), INVALID_FILE_ATTRIBUTES);
}

TEST_F(SignedManifest, RefusedManifestFetchesNothingAndStartsTheGame)
{
    std::string body = "VERSAO 2\nARQUIVO " + Sha256Of("new") + " 3 a.bin\nSERIE 3\n";
    std::string tampered = "VERSAO 2\nARQUIVO " + Sha256Of("evil") + " 4 a.bin\nSERIE 3\n";
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
}

TEST_F(SignedManifest, SignedReleaseUpdatesAndNeverListsTheSerialFile)
{
    std::string body = "VERSAO 2\nARQUIVO " + Sha256Of("new") + " 3 a.bin\nARQUIVO " + Sha256Of("1") +
                       " 1 .\\Launcher.Serie.\nSERIE 3\n";
    server.Serve("/a.bin", "new");
    server.Serve("/manifesto.txt", body + SignatureLine(first, body));
    EXPECT_EQ(RunUpdate(), 0);  // the refused entry counts as a failed file
    EXPECT_EQ(ReadWholeFile("a.bin"), "new");
    EXPECT_EQ(ReadWholeFile(SERIAL_FILE_NAME), "3\r\n");
    std::vector<std::string> log = RunLogMessages();
    EXPECT_NE(std::find(log.begin(), log.end(), "caminho inseguro recusado: .\\Launcher.Serie."), log.end());
    EXPECT_EQ(server.RequestedPaths(), (std::vector<std::string>{"/manifesto.txt", "/a.bin"}));
}
