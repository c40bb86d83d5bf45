"""Compiles the plain-Python twins in reference/ with Cython, as the package
`reference_cy` under BUILD_DIR/lib (usage: cython_twins.py BUILD_DIR).

The twins are compiled as they are: language_level 3, Cython's default
directives, the package's optimisation level. A twin that does not compile
leaves BUILD_DIR/failed/<name>.txt with the reason instead of a module, and
the others are built all the same. BUILD_DIR/src keeps the sources last
compiled, so that the benchmarks can tell a build older than its twin.
"""

import contextlib
import io
import pathlib
import shutil
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = "reference_cy"


def copy_if_changed(source: pathlib.Path, target: pathlib.Path) -> None:
    # An unchanged copy keeps its time stamp, so that Cython and the compiler skip it.
    if not target.exists() or target.read_bytes() != source.read_bytes():
        shutil.copyfile(source, target)


def build(module: pathlib.Path, build_dir: pathlib.Path) -> None:
    from Cython.Build import cythonize
    from setuptools import Extension, setup

    extension = Extension(f"{PACKAGE}.{module.stem}", [str(module)], extra_compile_args=["-O3"])
    setup(name=PACKAGE, ext_modules=cythonize([extension], compiler_directives={"language_level": 3}, quiet=True),
          script_args=["build_ext", "--build-lib", str(build_dir / "lib"), "--build-temp", str(build_dir / "temp"),
                       "-q"])


def main(build_dir: pathlib.Path) -> int:
    sources = build_dir / "src" / PACKAGE
    failed = build_dir / "failed"
    for folder in (sources, failed, build_dir / "lib" / PACKAGE):
        folder.mkdir(parents=True, exist_ok=True)
    for twin in sorted((ROOT / "reference").glob("*.py")):
        copy_if_changed(twin, sources / twin.name)
    shutil.copyfile(sources / "__init__.py", build_dir / "lib" / PACKAGE / "__init__.py")
    for module in sorted(sources.glob("*.py")):
        if module.stem == "__init__":
            continue
        report = failed / f"{module.stem}.txt"
        report.unlink(missing_ok=True)
        output = io.StringIO()
        try:
            with contextlib.redirect_stdout(output), contextlib.redirect_stderr(output):
                build(module, build_dir)
        except (Exception, SystemExit) as error:
            for stale in (build_dir / "lib" / PACKAGE).glob(f"{module.stem}.*.so"):
                stale.unlink()
            report.write_text(f"{error}\n{output.getvalue()}", encoding="utf-8")
            print(f"Cython twin {module.stem}: not compiled ({error}); see {report}")
        else:
            print(f"Cython twin {module.stem}: compiled")
    return 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1]).resolve()))
