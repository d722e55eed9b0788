// The cases of the retention self-test, in order. They build on one another
// through the contents of reportsDir; a fixture that cannot be made ends the
// cases (the frame then finishes).
#include <string.h>

#include "retention/retention.h"
#include "shell/shell.h"

static const int PATH_CAPACITY = 260;
static const int NAME_CAPACITY = 96;
static const int DETAIL_CAPACITY = 512;

static const char FOREIGN_FILE[] = "leiame.txt";
static const char LOOKALIKE_FILE[] = "disconnect-nao-e-relatorio.txt";
static const char REPORT_NAMED_FOLDER[] = "disconnect-20200101-000000-222-9.txt";

// Builds a candidate scratch path and its reports path, and records whether
// the scope check refuses (or accepts) them.
static void ScopeCase(int expected, const char* description, const char* cand, const char* tempDir)
{
    char candReports[PATH_CAPACITY];
    DR_TestFormat(candReports, sizeof candReports, "%s\\reports", cand);
    DR_TestCase(DR_IsCleanupScope(cand, candReports, tempDir, 1) == expected, description, cand);
}

static void ScopeCases(const char* scratchDir, const char* reportsDir, const char* tempDir)
{
    char cand[PATH_CAPACITY];
    DR_TestCase(DR_IsCleanupScope(scratchDir, reportsDir, tempDir, 1) == 1,
                "escopo de limpeza valido: as onze condicoes passam", "");
    DR_TestCase(DR_IsCleanupScope(scratchDir, reportsDir, tempDir, 0) == 0,
                "sem propriedade comprovada, o escopo e' rejeitado", "");
    DR_TestFormat(cand, sizeof cand, "%s\\meu_%s1_2_3", tempDir, DR_SCRATCH_PREFIX);
    ScopeCase(0, "prefixo no meio do nome e' rejeitado", cand, tempDir);
    DR_TestFormat(cand, sizeof cand, "%s\\qrv_disconnect_report_retention_tes_1_2_3", tempDir);
    ScopeCase(0, "nome semelhante porem diferente e' rejeitado", cand, tempDir);
    DR_TestFormat(cand, sizeof cand, "%s\\%sabc_2_3", tempDir, DR_SCRATCH_PREFIX);
    ScopeCase(0, "campo nao numerico e' rejeitado", cand, tempDir);
    DR_TestFormat(cand, sizeof cand, "%s\\%s1_2", tempDir, DR_SCRATCH_PREFIX);
    ScopeCase(0, "faltando a tentativa e' rejeitado", cand, tempDir);
    DR_TestFormat(cand, sizeof cand, "%s\\%s1_2_3_4", tempDir, DR_SCRATCH_PREFIX);
    ScopeCase(0, "campo extra depois da tentativa e' rejeitado", cand, tempDir);

    char otherReports[PATH_CAPACITY];
    DR_TestFormat(otherReports, sizeof otherReports, "%s\\outra", scratchDir);
    DR_TestCase(DR_IsCleanupScope(scratchDir, otherReports, tempDir, 1) == 0,
                "reports que nao e' base\\reports e' rejeitado", otherReports);

    DR_TestFormat(cand, sizeof cand, "%s\\%s9_9_9", tempDir, DR_SCRATCH_PREFIX);
    ScopeCase(0, "base inexistente e' rejeitada", cand, tempDir);
    int nullsRefused = DR_IsCleanupScope(NULL, reportsDir, tempDir, 1) == 0 &&
                       DR_IsCleanupScope(scratchDir, NULL, tempDir, 1) == 0 &&
                       DR_IsCleanupScope(scratchDir, reportsDir, NULL, 1) == 0 &&
                       DR_IsCleanupScope("", reportsDir, tempDir, 1) == 0;
    DR_TestCase(nullsRefused, "nulo e vazio sao rejeitados", "");
    DR_TestFormat(cand, sizeof cand, "%s\\%s1_2_3", AppDir, DR_SCRATCH_PREFIX);
    ScopeCase(0, "pasta fora do temporario e' rejeitada", cand, tempDir);
}

static int AgeRule(const char* scratchDir, const char* reportsDir)
{
    static const struct {
        const char* name;
        int age;
    } fixtures[] = {
        {"disconnect-20200101-000000-111-1.txt", 40},
        {"disconnect-20200101-000000-111-2.txt", 31},
        {"disconnect-20200101-000000-111-3.txt", 29},
        {"disconnect-20200101-000000-111-4.txt", 0},
    };
    int made = 1;
    for (const auto& fixture : fixtures)
        made &= DR_MakeFixtureOrFail(reportsDir, fixture.name, fixture.age);  // all four are attempted
    if (!made)
        return 0;
    DR_SweepUnderTest(scratchDir);
    char detail[DETAIL_CAPACITY];
    DR_TestFormat(detail, sizeof detail, "removidos por idade=%d", DR_RemovedByAge);
    DR_TestCase(!DR_Exists(reportsDir, fixtures[0].name) && !DR_Exists(reportsDir, fixtures[1].name) &&
                    DR_Exists(reportsDir, fixtures[2].name) && DR_Exists(reportsDir, fixtures[3].name),
                "40 e 31 dias saem; 29 dias e hoje ficam", detail);
    return 1;
}

static int ForeignEntries(const char* scratchDir, const char* reportsDir)
{
    if (!DR_MakeFixtureOrFail(reportsDir, FOREIGN_FILE, 90) || !DR_MakeFixtureOrFail(reportsDir, LOOKALIKE_FILE, 90))
        return 0;
    char folder[PATH_CAPACITY];
    DR_TestFormat(folder, sizeof folder, "%s\\%s", reportsDir, REPORT_NAMED_FOLDER);
    CreateDirectoryA(folder, NULL);
    DR_SweepUnderTest(scratchDir);
    DR_TestCase(DR_Exists(reportsDir, FOREIGN_FILE) && DR_Exists(reportsDir, LOOKALIKE_FILE) &&
                    DR_Exists(reportsDir, REPORT_NAMED_FOLDER),
                "arquivo alheio, nome invalido e subdiretorio preservados", "");
    return 1;
}

// 1 when DR_IsReportName gives the expected answer for every name.
template <size_t N>
static int AllJudged(const char* const (&names)[N], int expected)
{
    int passed = 1;
    for (const char* name : names)
        passed &= DR_IsReportName(name) == expected;
    return passed;
}

static void GrammarCases(void)
{
    static const char* const shortNames[] = {NULL, "", "d", "disconnect-", "disconnect-2020", "disconnect-.txt"};
    static const char* const badDates[] = {
        "disconnect-20201301-000000-1-1.txt", "disconnect-20200001-000000-1-1.txt",
        "disconnect-20200132-000000-1-1.txt", "disconnect-20200100-000000-1-1.txt"};
    static const char* const badTimes[] = {"disconnect-20200101-240000-1-1.txt", "disconnect-20200101-006000-1-1.txt",
                                           "disconnect-20200101-000060-1-1.txt"};
    static const char* const badStructure[] = {
        "disconnect-2020010-000000-1-1.txt", "disconnect-20200101-000000-1-1.txt.bak",
        "disconnect-20200101-000000--1.txt", "disconnect-20200101-000000-1-.txt",
        "disconnect- 0200101-000000-1-1.txt", "disconnect-20200101-000000-1-1.TXT"};
    static const char* const goodNames[] = {"disconnect-20200101-000000-1-1.txt",
                                            "disconnect-20261231-235959-4294967295-2147483647.txt"};
    DR_TestCase(AllJudged(shortNames, 0), "nome curto ou vazio e' rejeitado sem ler fora", "");
    DR_TestCase(AllJudged(badDates, 0), "mes fora de 01-12 e dia fora de 01-31 sao rejeitados", "");
    DR_TestCase(AllJudged(badTimes, 0), "hora, minuto e segundo fora de faixa sao rejeitados", "");
    DR_TestCase(AllJudged(badStructure, 0), "estrutura, campo vazio e extensao errada sao rejeitados", "");
    DR_TestCase(AllJudged(goodNames, 1), "o formato exato do cliente e' aceito, do minimo ao maximo", "");
}

static int CountRule(const char* scratchDir, const char* reportsDir)
{
    char name[NAME_CAPACITY];
    int failed = 0;
    for (int j = 0; j < 130; j++) {
        DR_TestFormat(name, sizeof name, "disconnect-20260101-000000-333-%d.txt", j);
        failed += !DR_MakeFixture(reportsDir, name, j % 20);
    }
    for (int j = 0; j < 5; j++) {
        DR_TestFormat(name, sizeof name, "disconnect-20260101-000000-444-%d.txt", j);
        failed += !DR_MakeFixture(reportsDir, name, -3);
    }
    char detail[DETAIL_CAPACITY];
    DR_TestFormat(detail, sizeof detail, "fixtures que falharam=%d de 135", failed);
    DR_TestCase(failed == 0, "as 135 fixtures do teto foram criadas", detail);
    if (failed)
        return 0;
    DR_SweepUnderTest(scratchDir);
    int remaining = DR_CountReports(reportsDir);
    DR_TestFormat(detail, sizeof detail, "sobraram=%d esperado=%d removidos por excesso=%d", remaining,
                  DR_MAX_REPORTS, DR_RemovedByExcess);
    DR_TestCase(remaining == DR_MAX_REPORTS, "135 relatorios recentes viram exatamente 100", detail);
    DR_TestCase(DR_Exists(reportsDir, "disconnect-20260101-000000-444-0.txt"),
                "data futura conta como recente e sobrevive ao corte", "");
    DR_TestCase(DR_Exists(reportsDir, FOREIGN_FILE) && DR_Exists(reportsDir, REPORT_NAMED_FOLDER),
                "o corte por excesso nao encosta em alheio nem subdiretorio", "");
    return 1;
}

// Answers 0 when a fixture could not be made. The report held open without
// sharing cannot be deleted; the handle is closed right after the case.
static int LockedReport(const char* scratchDir, const char* reportsDir)
{
    static const char LOCKED[] = "disconnect-20200101-000000-555-1.txt";
    static const char NEXT[] = "disconnect-20200101-000000-555-2.txt";
    if (!DR_MakeFixtureOrFail(reportsDir, LOCKED, 60) || !DR_MakeFixtureOrFail(reportsDir, NEXT, 60))
        return 0;
    char path[PATH_CAPACITY];
    HANDLE held = INVALID_HANDLE_VALUE;
    if (DR_JoinPath(path, sizeof path, reportsDir, LOCKED))
        held = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (held == INVALID_HANDLE_VALUE) {
        DR_TestCase(0, "falha de exclusao: nao consegui travar o arquivo", "caso NAO exercitado");
        return 1;
    }
    DR_SweepUnderTest(scratchDir);
    char detail[DETAIL_CAPACITY];
    DR_TestFormat(detail, sizeof detail, "falhas contabilizadas=%d", DR_RemoveFailures);
    DR_TestCase(DR_Exists(reportsDir, LOCKED) && !DR_Exists(reportsDir, NEXT) && DR_RemoveFailures >= 1,
                "arquivo travado falha, e o proximo e' apagado assim mesmo", detail);
    CloseHandle(held);
    return 1;
}

static void MissingFolder(const char* scratchDir)
{
    char missing[PATH_CAPACITY];
    DR_TestFormat(missing, sizeof missing, "%s_inexistente", scratchDir);
    DR_SweepUnderTest(missing);
    DR_TestCase(DR_RemovedByAge == 0 && DR_RemovedByExcess == 0 && DR_RemoveFailures == 0,
                "pasta reports ausente: nada apagado, nada criado", "");
    DR_TestCase(GetFileAttributesA(missing) == INVALID_FILE_ATTRIBUTES, "a funcao NAO cria a pasta que nao existe", "");
}

void DR_RunSelfTestCases(const char* scratchDir, const char* reportsDir, const char* tempDir)
{
    ScopeCases(scratchDir, reportsDir, tempDir);
    if (!AgeRule(scratchDir, reportsDir) || !ForeignEntries(scratchDir, reportsDir))
        return;
    GrammarCases();
    if (!CountRule(scratchDir, reportsDir) || !LockedReport(scratchDir, reportsDir))
        return;
    MissingFolder(scratchDir);
    DR_TestLog("RT    | %-52s | %-6s | %s", "junction no lugar de reports", "N/T",
               "criar ponto de reanalise exige privilegio; o filtro de atributo esta no codigo (RelatorioApagavel e "
               "DR_IsPlainDirectory) e foi exercitado pelo caso do subdiretorio. NAO TESTADO aqui.");
}
