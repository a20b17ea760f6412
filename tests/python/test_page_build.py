"""The step that builds the page's modules into one script refuses what it
can't inline faithfully, and inlines the rest in dependency order."""

import base64
import hashlib
import pathlib
import re
import sys

import pytest

TOOL = pathlib.Path(__file__).resolve().parents[2] / "tools" / "build_page.py"
sys.path.insert(0, str(TOOL.parent))
import build_page  # noqa: E402  (a script of tools/, not a package)

PAGE = "<meta content=\"{{CSP}}\"><style>{{STYLE}}</style><script>{{DATA}}</script><script>{{SCRIPT}}</script>"


def web(root: pathlib.Path, modules: dict[str, str], page: str = PAGE) -> pathlib.Path:
    root.mkdir()
    (root / "page.html").write_text(page)
    (root / "page.css").write_text("body { margin: 0; }\n")
    for name, text in modules.items():
        (root / f"{name}.js").write_text(text)
    return root


def test_modules_are_inlined_after_what_they_import_and_allowed_by_hash(tmp_path):
    before, after = build_page.build(
        web(
            tmp_path / "web",
            {
                "main": 'import { b, a as first } from "./b.js";\nfirst(b);\n',
                "b": 'import { a } from "./a.js";\nexport const b = a;\nexport function twice() {}\n',
                "a": "export function a() {}\n",
            },
        )
    )
    script = after[after.index("<script>") + len("<script>") : after.rindex("</script>")]
    assert [m.group(1) for m in re.finditer(r"^const module_(\w+) = ", script, re.M)] == ["a", "b", "main"]
    assert "const { b, a: first } = module_b;" in script
    assert "return { b, twice };" in script
    digest = base64.b64encode(hashlib.sha256(script.encode()).digest()).decode()
    assert f"script-src 'sha256-{digest}'" in before
    assert before.endswith("<script>") and after.startswith("</script>")


@pytest.mark.parametrize(
    "modules, page, problem",
    [
        ({"main": "export default 1;\n"}, PAGE, "main.js: an import or export this step can't inline"),
        ({"main": 'import * as b from "./b.js";\n', "b": ""}, PAGE, "main.js: an import or export this step can't inline"),
        ({"main": 'import { a } from "./a.js";\n', "a": 'import { m } from "./main.js";\n'}, PAGE,
         "main.js imports itself through another module"),
        ({"main": 'import { a } from "./gone.js";\n'}, PAGE, "no module"),
        ({"main": 'const s = "</SCRIPT>";\n'}, PAGE, "the page's text holds </script"),
        ({"main": ""}, PAGE.replace("{{DATA}}", ""), "page.html must hold {{DATA}} once"),
    ],
)
def test_what_the_step_cannot_inline_fails_the_build(tmp_path, modules, page, problem):
    with pytest.raises(build_page.BuildError, match=re.escape(problem)):
        build_page.build(web(tmp_path / "web", modules, page))
