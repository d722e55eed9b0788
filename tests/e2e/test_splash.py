"""The splash as a player sees it: a screenshot of test mode under Xvfb, the
close square, and a start without GDI+."""
import os
import subprocess

from conftest import SOURCE_DIR, find_window, windows_path

ART = SOURCE_DIR / "resources" / "art"


def rgb_pixels(png, x, y, width, height):
    """The RGB bytes of a region of a PNG, through ImageMagick."""
    return subprocess.run(["/usr/bin/convert", str(png), "-crop", f"{width}x{height}+{x}+{y}", "-depth", "8",
                           "rgb:-"], capture_output=True, check=True).stdout


def window_origin(window_id):
    geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window_id], capture_output=True,
                              text=True, check=True).stdout
    values = dict(line.split("=") for line in geometry.split())
    return int(values["X"]), int(values["Y"])


def test_test_mode_splash_shows_character_panel_bar_and_texts_and_the_close_square_closes(game, tmp_path):
    process = game.start("-teste")
    try:
        window = find_window("Quorvane")
        subprocess.run(["sleep", "3"])  # the script is at 3 s: bar a fifth full, texts shown
        window = find_window("Quorvane")
        left, top = window_origin(window)
        shot = tmp_path / "splash.png"
        subprocess.run(["/usr/bin/import", "-window", "root", str(shot)], check=True)
        frame = rgb_pixels(shot, left, top, 1120, 700)

        def at(x, y):
            i = (y * 1120 + x) * 3
            return tuple(frame[i:i + 3])

        def art(name, x, y):
            return tuple(rgb_pixels(ART / name, x, y, 1, 1))

        assert at(900, 620) == art("background.png", 900, 620), "the panel"
        assert at(240, 520) == art("character.png", 240, 520 - 175), "the character's coat"
        assert at(900, 100) == (0, 0, 0), "transparent outside the splash"
        red, green, blue = at(669, 646)
        assert red > 150 and red > 2 * blue, "the bar, orange where it is filled"
        percentage = [at(x, y) for x in range(667, 760) for y in range(500, 550)]
        assert sum(1 for p in percentage if min(p) > 200) > 100, "the percentage in white"
        status = [at(x, y) for x in range(669, 900) for y in range(569, 592)]
        assert sum(1 for p in status if p[2] > 150) > 50, "the status line"

        subprocess.run(["xdotool", "mousemove", str(left + 1072), str(top + 495), "click", "1"], check=True)
        assert process.wait(timeout=30) == 0
    finally:
        if process.poll() is None:
            process.kill()
    assert game.game_record(wait=1.0) is None


def test_without_gdiplus_the_splash_runs_without_art(game, monkeypatch):
    monkeypatch.setenv("WINEDLLOVERRIDES", "mscoree,mshtml,gdiplus=;winemenubuilder.exe=d")
    game.write("launcher.cfg", "EXECUTAVEL stubgame.exe\n")
    assert game.run() == 0
    assert game.log_messages()[:2] == [
        "sem arte: gdiplus.dll ausente ou recursos ilegiveis; sigo sem enfeite",
        "--- atualizador iniciado em " + windows_path(game.root),
    ]
    assert game.game_record() is not None


def test_proof_mode_writes_four_identical_pairs_of_bitmaps(game):
    (game.root / "arte").mkdir()
    assert game.run("-provas", timeout=120) == 0
    names = [f"prova_{kind}_{n}.bmp" for n in range(1, 5) for kind in ("lnc", "branco")]
    first = {}
    for name in names:
        path = game.path("arte") / name
        data = path.read_bytes()
        assert len(data) == 2352054, name
        first[name] = data
        identified = subprocess.run(["/usr/bin/identify", "-format", "%m %w %h %[bit-depth] %[channels]", str(path)],
                                    capture_output=True, text=True, check=True).stdout
        assert identified.startswith("BMP3 1120 700 8 srgb"), identified  # the Windows 3 BMP with 24-bit rows
        backdrop = (126, 122, 118) if "lnc" in name else (255, 255, 255)  # stored B, G, R
        corner = 54 + (699 * 3360) + 1119 * 3  # the top-right pixel: outside the splash
        assert tuple(data[corner:corner + 3]) == backdrop, name
        panel = 54 + 50 * 3360 + 900 * 3  # inside the opaque panel: the same in both files
        assert data[panel:panel + 3] == first[f"prova_lnc_{name[-5]}.bmp"][panel:panel + 3]
    assert game.run("-provas", timeout=120) == 0
    for name in names:
        assert (game.path("arte") / name).read_bytes() == first[name], f"{name} differs on a second run"
