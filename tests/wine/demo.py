"""The whole life of the product under Wine, in a throwaway prefix, the way a
user meets it: the installation kit's files in place, install, the program
group in Explorer, the product and its manual opened from the group's
shortcuts through the shell, the next session start that runs the Startup
shortcut, the product in Add/Remove Programs, uninstall from the system's
list of installed programs (the group gone from the Start menu), then the
next system start that processes WININIT.INI. Every message box is answered
and saved as a PNG cut to the box, every window the demo opens is pictured
and closed before the next stage; after each stage the machine's state is
printed (the registry key, the folders and files, WININIT.INI), each row
marked when the stage added, removed or changed it. The stages, their states
and pictures end up in OUT/index.html.

    python3 tests/wine/demo.py [--windows-build DIR] [--out DIR] [--docs DIR]

--docs DIR also writes the README's pictures there (small palette PNGs): the
install question, the product in Add/Remove Programs, the final uninstall
message.
"""

import argparse
import difflib
import html
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# The README's pictures: (stage folder, picture in it, name under --docs).
DOCS_PICTURES = [("1-install", "box-1.png", "install-question.png"),
                 ("6-programs", "add-remove-programs.png", "add-remove-programs.png"),
                 ("7-uninstall", "box-2.png", "uninstall-done.png")]

# What the shell uses to open a file or a shortcut as a double click does.
START = r"C:\windows\command\start.exe"
EXPLORER = r"C:\windows\explorer.exe"
# Where WordPad puts its window (left, top, right, bottom): large enough to
# show the whole manual in the picture.
WORDPAD_OPTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Applets\Wordpad\Options"
WORDPAD_FRAME = (32, 32, 792, 432)


def mean_brightness(png):
    done = subprocess.run(["convert", str(png), "-colorspace", "Gray", "-format", "%[fx:mean]", "info:"],
                          capture_output=True, text=True, check=True)
    return float(done.stdout)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--windows-build", default=str(HERE.parents[1] / "build" / "windows"))
    parser.add_argument("--out", default=str(HERE.parents[1] / "build" / "demo"))
    parser.add_argument("--docs", help="folder that receives the README's pictures")
    options = parser.parse_args(argv)
    os.environ["KALMARIS_WINDOWS_BUILD"] = options.windows_build
    sys.path.insert(0, str(HERE))
    from kalmaris import DISPLAY_NAME, INSTALL_DIR, MODULES, Product  # noqa: E402  (reads the build folder at import)
    from winetest import Machine  # noqa: E402
    # The relay log also follows the product, whose boxes the stages show.
    with_product = MODULES + ["km.exe"]

    out = Path(options.out)
    out.mkdir(parents=True, exist_ok=True)
    # A rerun replaces what an earlier run left: its stage folders and page.
    for old in out.iterdir():
        if old.name == "index.html" or (old.is_dir() and re.match(r"\d-", old.name)):
            shutil.rmtree(old) if old.is_dir() else old.unlink()
    stages = []  # (title, account lines, [(picture, what it shows)], [(mark, thing, what it is)])
    started = time.time()
    print("Preparing a Wine machine (the first time this makes a template prefix, about a minute) ...")
    with Machine("demo", MODULES) as machine:
        if not machine.exists(r"C:\windows\Fonts\marlett.ttf"):
            raise AssertionError("the prefix has no Marlett font, the boxes would show an \"r\" for their close "
                                 "button: install fonts-wine (scripts/setup.sh) and remove the template prefix")
        product = Product(machine)
        before = None

        def stage(title, result=None, lines=(), pictures=(), programs="the tool"):
            nonlocal before
            account, shown = list(lines), []
            if result is not None:
                for number, box in enumerate(result.boxes, 1):
                    text = f"[{box.caption.decode('cp1250')}] {box.text.decode('cp1250')}"
                    account.append(f"box {number}: {text!r} (style {box.style}) -> answered {box.answer or box.result}"
                                   + (f", picture {box.screenshot}" if box.screenshot else ""))
                    if box.screenshot:
                        shown.append((box.screenshot, text))
                codes = ", ".join(str(code) for code in result.exit_codes.values())
                account.append(f"processes of {programs}: {len({c.pid for c in result.calls})}, exit codes: {codes}")
            shown += pictures  # after the boxes, in the order they were taken
            now = product.state()
            rows = changes(before, now)
            before = now
            for picture, _ in shown:
                # A black picture would show no box: the demo has failed.
                if mean_brightness(picture) < 0.2:
                    raise AssertionError(f"{picture} is (almost) black")
            print()
            print(f"== {title}")
            for line in account:
                print("   " + line)
            for mark, thing, what in rows:
                print(f"   {MARKS[mark][0]} {thing}: {what}" + (f" ({mark})" if mark else ""))
            stages.append((title, account, shown, rows))

        def picture_and_close(title_part, picture):
            """For run(during=...): waits for the window whose title holds
            title_part, pictures it once it has drawn its contents, closes it."""
            def during():
                _, rect = machine.find_window(title_part)
                time.sleep(2)
                machine.screenshot(picture, rect)
                machine.close_windows(title_part)
            return during

        def explorer(folder, title_part, picture):
            """The folder in an Explorer window, pictured, then closed."""
            machine.run(EXPLORER, [folder], during=picture_and_close(title_part, picture), timeout=120)
            return picture

        def open_shortcut(link, folder, during=None):
            """Opens a shortcut through the shell, as a click in the Start menu
            does; the product's box is answered and pictured."""
            return machine.run(START, [link], screenshots=folder, relay_modules=with_product, during=during,
                               timeout=120)

        def read_by_shell(link):
            """The account's line on where the shortcut leads, as the shell reads it."""
            target, directory = machine.shell_link(link)
            return f"the shortcut, read by the shell: {target}, in {directory}"

        def product_started(result, how):
            """The product's one box, naming the installation directory as the
            folder it runs in."""
            texts = [b.text.decode("cp1250") for b in result.boxes if b.caption == DISPLAY_NAME.encode("cp1250")]
            if len(texts) != 1 or not texts[0].endswith("Složka: " + INSTALL_DIR):
                raise AssertionError(f"{how} did not start the product in {INSTALL_DIR}: {texts}")

        stage("Before: the installation kit's files in C:\\Program Files\\Kalmaris")

        result = product.install("yes", screenshots=out / "1-install")
        stage("REMOVE.EXE /INSTALL, Startup shortcut: Yes", result)

        picture = explorer(product.group, "Kalmaris", out / "2-group" / "program-group.png")
        stage("The program group as the user finds it (Explorer on the Start menu's Kalmaris folder)",
              lines=[f"{EXPLORER} \"{product.group}\", the window pictured and closed"],
              pictures=[(picture, "The Start menu's group Kalmaris with its two shortcuts")])

        link = product.group + r"\ Kalmaris.lnk"
        result = open_shortcut(link, out / "3-product")
        product_started(result, link)
        stage("The group's shortcut Kalmaris opened through the shell: the product starts in its folder", result,
              lines=[f"{START} \"{link}\"", read_by_shell(link)],
              programs="the product")

        link = product.group + "\\Něco jako manuál.lnk"
        machine.reg_set(WORDPAD_OPTIONS, "FrameRect", b"".join(v.to_bytes(4, "little") for v in WORDPAD_FRAME), 3)
        picture = out / "4-manual" / "wordpad.png"
        open_shortcut(link, out / "4-manual", during=picture_and_close("KM.RTF", picture))
        stage("The group's shortcut Něco jako manuál opened through the shell: the manual in WordPad",
              lines=[f"{START} \"{link}\"", read_by_shell(link), "WordPad pictured, then closed"],
              pictures=[(picture, "KM.RTF in WordPad, opened from the group's shortcut")])

        link = product.startup + r"\Kalmaris.lnk"
        # wineboot -e also walks the Startup folder once it has ended the
        # session; the product's box it starts there is answered without a
        # picture, or is gone before anyone sees it.
        ended = machine.run(r"C:\windows\system32\wineboot.exe", ["-e"], relay_modules=with_product,
                            timeout=120)
        unseen = [c.retval for c in ended.calls_named("MessageBoxA")]
        result = machine.run(r"C:\windows\system32\wineboot.exe", screenshots=out / "5-session",
                             relay_modules=with_product, timeout=120)
        product_started(result, link)
        stage("Next session start (wineboot -e ends the session, wineboot starts the next one): the Startup "
              "shortcut starts the product", result,
              lines=[f"the Startup shortcut {link}", read_by_shell(link),
                     f"wineboot -e: ended the session, then also ran the Startup shortcut: the product's boxes "
                     f"returned {unseen}, {len(ended.window_boxes)} of {len(unseen)} seen on the screen",
                     "wineboot: the Run keys, then the Startup folder (ShellExecuteEx of each shortcut)"],
              programs="the product")

        listed = machine.installed_programs()
        window = machine.run(r"C:\windows\system32\control.exe", ["appwiz.cpl"], answers=["cancel"],
                             screenshots=out / "6-programs", timeout=120)
        picture = out / "6-programs" / "add-remove-programs.png"
        window.window_boxes[0]["screenshot"].rename(picture)
        stage("Add/Remove Programs (wine control appwiz.cpl) lists the product",
              lines=["wine uninstaller --list: " + "; ".join(f"{key}|||{name}" for key, name in listed)],
              pictures=[(picture, f"Add/Remove Programs listing {DISPLAY_NAME}")])

        result = product.uninstall_from_list("yes", screenshots=out / "7-uninstall")
        if machine.exists(product.group):
            raise AssertionError(f"the program group {product.group} is still there")
        left = ", ".join(machine.listdir(product.programs)) or "nothing"
        picture = explorer(product.programs, "Programs", out / "7-uninstall" / "start-menu.png")
        stage("Removed from the list (wine uninstaller --remove): the launcher, then the worker from the copy; "
              "the group gone from the Start menu", result,
              lines=[f"the program group {product.group}: gone; the Start menu's {product.programs} holds {left}"],
              pictures=[(picture, "The Start menu's programs after the uninstall: no group Kalmaris")])

        machine.reboot()
        stage("Next system start (wineboot -r): WININIT.INI processed")

    page = out / "index.html"
    page.write_text(render(stages, out), encoding="utf-8")
    if options.docs:
        docs = Path(options.docs)
        docs.mkdir(parents=True, exist_ok=True)
        for folder, name, target in DOCS_PICTURES:
            subprocess.run(["convert", str(out / folder / name), "-strip", "+dither", "-colors", "16",
                            f"PNG8:{docs / target}"], check=True)
            print(f"README picture: {docs / target} ({(docs / target).stat().st_size} bytes)")
    print()
    print(f"The whole cycle took {time.time() - started:.0f} s. Stages with pictures: {page}")
    return 0


# How a row is marked: on the console, and its class on the page.
MARKS = {None: (" ", ""), "added": ("+", "added"), "removed": ("-", "removed"), "changed": ("~", "changed")}


def changes(before, now):
    """The rows of now, each marked "added" or "changed" against before
    (None: nothing to compare with, no marks), with the rows of before that
    are gone marked "removed" in their old place."""
    if before is None:
        return [(None, thing, what) for thing, what in now]
    old, new = dict(before), dict(now)
    rows = []
    matcher = difflib.SequenceMatcher(a=[t for t, _ in before], b=[t for t, _ in now], autojunk=False)
    for _, old_start, old_end, new_start, new_end in matcher.get_opcodes():
        rows += [("removed", thing, what) for thing, what in before[old_start:old_end] if thing not in new]
        for thing, what in now[new_start:new_end]:
            mark = "added" if thing not in old else None if old[thing] == what else "changed"
            rows.append((mark, thing, what))
    return rows


def summary(rows, first):
    if first:
        return "On the machine before the tool runs:"
    counts = [f"{sum(1 for r in rows if r[0] == mark)} {mark}" for mark in ("added", "removed", "changed")
              if any(r[0] == mark for r in rows)]
    text = "Changed since the stage before: " + ", ".join(counts) + "." if counts else "Nothing changed."
    if all(r[0] == "removed" for r in rows):
        text += " Nothing of the product is left on the machine."
    return text


def render(stages, out):
    parts = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
             "<title>Kalmaris 2001: install and uninstall under Wine</title>",
             "<style>body{font-family:sans-serif;max-width:64em;margin:2em auto}pre{background:#f4f4f4;"
             "padding:.6em;white-space:pre-wrap}figure{display:inline-block;margin:.5em 1em .5em 0;"
             "vertical-align:top}figcaption{font-size:.85em;max-width:36em}table{border-collapse:collapse;"
             "font-size:.9em;width:100%}td{padding:.15em .5em;border-bottom:1px solid #ddd;vertical-align:top}"
             "td.thing{font-family:monospace;word-break:break-all}td.mark{font-weight:bold;width:5em}"
             "tr.added{background:#dcf5dc}tr.removed{background:#f8dcdc;color:#777}"
             "tr.removed td.thing,tr.removed td.what{text-decoration:line-through}"
             "tr.changed{background:#fbf0c8}</style></head><body>",
             "<h1>Kalmaris 2001: install and uninstall under Wine</h1>",
             "<p>After each stage: what is on the machine; rows the stage <span style=\"background:#dcf5dc\">"
             "added</span>, <span style=\"background:#f8dcdc\">removed</span> or "
             "<span style=\"background:#fbf0c8\">changed</span> are marked.</p>"]
    for number, (title, account, pictures, rows) in enumerate(stages, 1):
        parts.append(f"<h2>{number}. {html.escape(title)}</h2>")
        for picture, caption in pictures:
            source = html.escape(Path(picture).relative_to(out).as_posix())
            parts.append(f'<figure><img src="{source}" alt="{html.escape(caption)}">'
                         f"<figcaption>{html.escape(caption)}</figcaption></figure>")
        if account:
            parts.append("<pre>" + html.escape("\n".join(account)) + "</pre>")
        parts.append(f"<p>{html.escape(summary(rows, number == 1))}</p>")
        parts.append("<table>")
        for mark, thing, what in rows:
            parts.append(f'<tr class="{MARKS[mark][1]}"><td class="mark">{mark or ""}</td>'
                         f'<td class="thing">{html.escape(thing)}</td><td class="what">{html.escape(what)}</td></tr>')
        parts.append("</table>")
    parts.append("</body></html>")
    return "\n".join(parts) + "\n"


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
