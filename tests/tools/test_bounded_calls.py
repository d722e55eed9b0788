"""The check that keeps unbounded string calls out of product code."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import check_bounded_calls  # noqa: E402


def test_product_code_has_no_unbounded_calls():
    assert list(check_bounded_calls.findings()) == []


def test_check_finds_what_it_must(tmp_path):
    (tmp_path / "shell").mkdir()
    (tmp_path / "shell" / "x.cpp").write_text(
        'strcpy(a, b);\n'
        'snprintf(a, sizeof a, "%s", b);\n'
        'sprintf(a, "%d", 1);\n'
        'lstrcatA(a, b);\n'
        'sscanf(line, "%63s %899s", k, v);\n'
        'sscanf(line, "%s", k);\n'
        '// strcpy in a comment is fine\n'
        'n = wsprintfA(a, "%d", 2);\n')
    found = [f.split(":")[1] for f in check_bounded_calls.findings(tmp_path)]
    assert found == ["1", "3", "4", "6", "8"]
