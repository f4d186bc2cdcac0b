"""The whole life of the product under Wine, in a throwaway prefix: install,
uninstall as the system's uninstall command does, then the next system start
that processes WININIT.INI. Every message box is answered and saved as a PNG;
after each stage a short account of the machine is printed.

    python3 tests/wine/demo.py [--windows-build DIR] [--out DIR]
"""

import argparse
import os
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--windows-build", default=str(HERE.parents[1] / "build" / "windows"))
    parser.add_argument("--out", default=str(HERE.parents[1] / "build" / "demo"))
    options = parser.parse_args(argv)
    os.environ["KALMARIS_WINDOWS_BUILD"] = options.windows_build
    sys.path.insert(0, str(HERE))
    from kalmaris import MODULES, Product  # noqa: E402  (reads the build folder at import)
    from winetest import Machine  # noqa: E402

    out = Path(options.out)
    out.mkdir(parents=True, exist_ok=True)
    started = time.time()
    print("Preparing a Wine machine (the first time this makes a template prefix, about a minute) ...")
    with Machine("demo", MODULES) as machine:
        product = Product(machine)

        def stage(title, result=None, folder=None):
            print()
            print(f"== {title}")
            if result is not None:
                for number, box in enumerate(result.boxes, 1):
                    shot = folder / f"box-{number}.png" if folder else None
                    print(f"   box {number}: [{box.caption.decode('cp1250')}] {box.text.decode('cp1250')!r}"
                          f" (style {box.style}) -> answered {box.answer or box.result}"
                          + (f", screenshot {shot}" if shot and shot.exists() else ""))
                codes = ", ".join(str(code) for code in result.exit_codes.values())
                print(f"   processes: {result.processes}, exit codes: {codes}")
            for line in product.account().splitlines():
                print("   " + line)

        stage("Before: the product's files in C:\\Program Files\\Kalmaris")

        folder = out / "1-install"
        folder.mkdir(exist_ok=True)
        result = product.install("yes", screenshots=folder)
        stage("REMOVE.EXE /INSTALL, Startup shortcut: Yes", result, folder)

        folder = out / "2-uninstall"
        folder.mkdir(exist_ok=True)
        result = product.uninstall("yes", screenshots=folder)
        stage("The registered uninstall command, confirmed: launcher, then the worker from the copy", result, folder)

        machine.reboot()
        stage("Next system start: WININIT.INI processed")
    print()
    print(f"Screenshots under {out}; the whole cycle took {time.time() - started:.0f} s.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
