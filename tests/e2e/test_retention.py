"""Report retention end to end: the self-test switch, and the sweep at start."""
import os
import time
from pathlib import Path

from conftest import BUILD_DIR

TEMP = Path(os.environ.get("WINEPREFIX", BUILD_DIR / "wineprefix")) / "drive_c" / "users" / "root" / "Temp"
DAY = 86400

CASES = [
    "pasta exclusiva criada por esta execucao",
    "nome da pasta segue PREFIXO+PID_TICK_TENTATIVA",
    "escopo de limpeza valido: as onze condicoes passam",
    "sem propriedade comprovada, o escopo e' rejeitado",
    "prefixo no meio do nome e' rejeitado",
    "nome semelhante porem diferente e' rejeitado",
    "campo nao numerico e' rejeitado",
    "faltando a tentativa e' rejeitado",
    "campo extra depois da tentativa e' rejeitado",
    "reports que nao e' base\\reports e' rejeitado",
    "base inexistente e' rejeitada",
    "nulo e vazio sao rejeitados",
    "pasta fora do temporario e' rejeitada",
    "40 e 31 dias saem; 29 dias e hoje ficam",
    "arquivo alheio, nome invalido e subdiretorio preservados",
    "nome curto ou vazio e' rejeitado sem ler fora",
    "mes fora de 01-12 e dia fora de 01-31 sao rejeitados",
    "hora, minuto e segundo fora de faixa sao rejeitados",
    "estrutura, campo vazio e extensao errada sao rejeitados",
    "o formato exato do cliente e' aceito, do minimo ao maximo",
    "as 135 fixtures do teto foram criadas",
    "135 relatorios recentes viram exatamente 100",
    "data futura conta como recente e sobrevive ao corte",
    "o corte por excesso nao encosta em alheio nem subdiretorio",
    "arquivo travado falha, e o proximo e' apagado assim mesmo",
    "pasta reports ausente: nada apagado, nada criado",
    "a funcao NAO cria a pasta que nao existe",
    "junction no lugar de reports",
    "o teste removeu a propria pasta e nada mais",
]


def scratch_folders():
    return sorted(p.name for p in TEMP.glob("qrv_disconnect_report_retention_test_*")) if TEMP.exists() else []


def report(game, name, age_days):
    path = game.write(f"reports/{name}", b"")
    stamp = time.time() - age_days * DAY
    os.utime(path, (stamp, stamp))
    return path


def test_self_test_passes_alone_and_leaves_only_its_log(game):
    game.write("launcher.cfg", "EXECUTAVEL stubgame.exe\n")
    kept = report(game, "disconnect-20200101-000000-1-1.txt", 90)  # the game folder's own reports
    before = scratch_folders()
    assert game.run_raw(" -disconnectreportretentiontest") == 0
    lines = game.read("disconnectreportretentiontest.log").decode("latin-1").split("\r\n")
    rows = [line[len("RT    | "):].split(" | ") for line in lines if line.startswith("RT    | ")]
    assert [row[0].rstrip() for row in rows] == CASES
    assert [row[1].strip() for row in rows] == ["OK"] * 27 + ["N/T", "OK"]
    assert lines[-2] == "casos: 28   falhas: 0   -> PASSOU"
    assert lines[-3] == "-" * 73
    assert scratch_folders() == before
    assert kept.exists()
    assert not game.path("launcher.log").exists()
    assert game.game_record(wait=1.0) is None


def test_sweep_at_start_trims_old_reports_and_logs_it(game):
    game.write("launcher.cfg", "EXECUTAVEL stubgame.exe\n")
    old = [report(game, f"disconnect-20200101-000000-1-{i}.txt", 45) for i in range(2)]
    recent = report(game, "disconnect-20260101-000000-1-9.txt", 2)
    foreign = report(game, "leiame.txt", 400)
    assert game.run() == 0
    assert not any(path.exists() for path in old)
    assert recent.exists() and foreign.exists()
    assert game.log_messages()[0] == "reports: 2 removido(s) por idade, 0 por excesso, 0 falha(s) de remocao"
