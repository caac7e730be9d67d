#!/usr/bin/python3
"""README.md's examples run as printed, and the documents checked against
the program.

Every fenced block of README.md marked as an example (```sh example) runs
in a fresh home folder, in the README's order, as cron would run it: an
empty environment but HOME, PATH and LANG.  A block that starts with "#!"
is a script, as a cron job runs it: it must exit 0 and print nothing, since
whatever a job prints is mailed.  Any other block runs as typed into bash,
under "set -e -o pipefail", so each of its commands must succeed.  Where an
```output block follows a block, its standard output must be that text
exactly.  A tester is the
virtual one: the commands that need one get --virtual --from the sample's
last export (unless they say --virtual themselves).  mail and xdg-open
record what they were given.  The sample is read where it lies: the
README's /usr/share/doc/lumkest/sample stands for --sample.

Then the synopses: README.md's ```text synopsis block and the manual page's
SYNOPSIS are the program's usage lines word for word; each command's
synopsis names exactly the options its --help lists (its outputs may stand
as OUTPUT..., -q for every command); the bash completion offers each command
exactly those options.

    readme_examples.py --cli PROGRAM --readme README.md --man lumkest-cli.1
                       --completion lumkest-cli.bash-completion --sample DIR
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

SAMPLE_AS_PRINTED = "/usr/share/doc/lumkest/sample"
OUTPUT_KINDS = {"csv", "text", "records", "json", "pdf", "pdf-records", "raw", "results", "html"}

failures = []


def fail(what):
    failures.append(what)
    print("FAIL: " + what, file=sys.stderr)


def blocks(markdown):
    """The fenced blocks of a Markdown text: (info string, text, line)."""
    found, lines, i = [], markdown.split("\n"), 0
    while i < len(lines):
        m = re.match(r"^```(.*)$", lines[i])
        if not m:
            i += 1
            continue
        start, body = i + 1, []
        i += 1
        while i < len(lines) and lines[i] != "```":
            body.append(lines[i])
            i += 1
        found.append((m.group(1).strip(), "\n".join(body) + "\n", start))
        i += 1
    return found


def make_tools(bin_dir, cli, sample):
    """The commands the examples meet besides the program itself."""
    os.makedirs(bin_dir)
    tools = {
        "lumkest-cli": f"""#!/bin/sh
# The tester is a virtual one holding the sample's last export.
for arg; do [ "$arg" = --virtual ] && exec "{cli}" "$@"; done
for arg; do
    case $arg in
        info|download) exec "{cli}" --virtual --from "{sample}/exports/2026-11.csv" "$@" ;;
    esac
done
exec "{cli}" "$@"
""",
        "mail": """#!/bin/sh
{ echo "mail $*"; cat; } >>"$HOME/mail.log"
""",
        "xdg-open": """#!/bin/sh
echo "$@" >>"$HOME/opened.log"
""",
    }
    for name, text in tools.items():
        path = os.path.join(bin_dir, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o755)


def run_examples(args, work):
    home, bin_dir = os.path.join(work, "home"), os.path.join(work, "bin")
    os.makedirs(home)
    make_tools(bin_dir, args.cli, args.sample)
    env = {"HOME": home, "PATH": bin_dir + ":/usr/bin:/bin", "LANG": "C.UTF-8"}
    # The sanitizer builds' settings, which the examples do not see.
    for key in ("ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"):
        if key in os.environ:
            env[key] = os.environ[key]
    found = blocks(open(args.readme, encoding="utf-8").read())
    ran = 0
    for k, (info, text, line) in enumerate(found):
        if info.split()[1:2] != ["example"]:
            continue
        text = text.replace(SAMPLE_AS_PRINTED, args.sample)
        expected = None
        if k + 1 < len(found) and found[k + 1][0] == "output":
            expected = found[k + 1][1].replace(SAMPLE_AS_PRINTED, args.sample)
        if text.startswith("#!"):
            script = os.path.join(work, f"example-{line}.sh")
            with open(script, "w") as f:
                f.write(text)
            command = ["sh", script]
            if expected is None:
                expected = ""
        else:
            command = ["bash", "-e", "-o", "pipefail", "-c", text]
        try:
            done = subprocess.run(command, cwd=home, env=env, capture_output=True, timeout=300)
        except subprocess.TimeoutExpired:
            fail(f"README.md line {line}: the example did not end within 300 s")
            continue
        ran += 1
        out = done.stdout.decode("utf-8", "replace")
        err = done.stderr.decode("utf-8", "replace")
        if done.returncode != 0:
            fail(f"README.md line {line}: the example exited {done.returncode}\n{text}{err}")
        elif expected is not None and out != expected:
            fail(f"README.md line {line}: the example printed\n{out}instead of\n{expected}{err}")
    if ran < 10:
        fail(f"only {ran} examples found in README.md")
    return ran


def usage_lines(cli):
    text = subprocess.run([cli, "--help"], capture_output=True, text=True, check=True).stdout
    lines = text.split("\n\n")[0].split("\n")
    return [re.sub(r"^(Usage: )?\s*", "", line) for line in lines]


def command_options(cli, command):
    """A command's synopsis and the long names of the options its --help lists."""
    text = subprocess.run([cli, command, "--help"], capture_output=True, text=True,
                          check=True).stdout
    synopsis = text.split("\n")[0][len("Usage: "):]
    options = set(re.findall(r"^  (?:-\w, )?--([\w-]+)", text, re.M))
    return synopsis, options


def check_documents(args):
    usage = usage_lines(args.cli)
    readme = [b for b in blocks(open(args.readme, encoding="utf-8").read())
              if b[0] == "text synopsis"]
    if len(readme) != 1 or readme[0][1].rstrip("\n").split("\n") != usage:
        fail("README.md's synopsis block is not the program's usage lines:\n" + "\n".join(usage))

    man = open(args.man, encoding="utf-8").read()
    section = man.split(".SH SYNOPSIS\n", 1)[1].split("\n.SH ", 1)[0]
    lines = [l.replace("\\-", "-") for l in section.split("\n") if l and not l.startswith(".")]
    if lines != usage:
        fail("the manual page's SYNOPSIS is not the program's usage lines:\n" + "\n".join(lines))

    completion = open(args.completion, encoding="utf-8").read()
    groups = dict(re.findall(r'local (\w+)="([^"]*)"', completion))
    offered = {}
    for command, words in re.findall(r'^\s*(\w+)\) options="([^"]*)"', completion, re.M):
        for name, value in groups.items():
            words = words.replace("$" + name, value)
        offered[command] = {w[2:] for w in words.split()}

    commands = re.findall(r"^  (\w+)\s{2,}", subprocess.run(
        [args.cli, "--help"], capture_output=True, text=True).stdout, re.M)
    if len(commands) < 10:
        fail(f"--help lists {len(commands)} commands")
    for command in commands:
        synopsis, options = command_options(args.cli, command)
        named = set(re.findall(r"--([a-z-]+)", synopsis)) | ({"quiet"} if "[-q]" in synopsis
                                                              else set())
        left = options - named - {"quiet"}
        if "OUTPUT..." in synopsis:
            left -= OUTPUT_KINDS
        if named - options or left:
            fail(f"{command}: its synopsis names {sorted(named - options)} that it does not "
                 f"take, and not {sorted(left)} that it takes")
        if offered.get(command) != options | {"help"}:
            fail(f"{command}: the completion offers {sorted(offered.get(command, set()))}, "
                 f"its --help {sorted(options | {'help'})}")


def main():
    parser = argparse.ArgumentParser()
    for name in ("cli", "readme", "man", "completion", "sample"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    args.sample = os.path.abspath(args.sample)
    args.cli = os.path.abspath(args.cli)
    work = tempfile.mkdtemp(prefix="lumkest-readme-")
    try:
        check_documents(args)
        ran = run_examples(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print(f"{len(failures)} of the README's examples and documents failed", file=sys.stderr)
        return 1
    print(f"{ran} README examples ran as printed; synopses and completion agree with --help")
    return 0


if __name__ == "__main__":
    sys.exit(main())
