#!/usr/bin/env python3
"""disckit's command line as people meet it: each verb's --help, its section of the manual page,
its section of the README and its parser know the same options (and no parser in kit/ has one
that no help lists); help goes to stdout with exit
code 0, a bad command line to stderr with exit code 2 and a short usage; the completion offers
every option.

    disckit_docs_test.py DISCKIT README
"""

import re
import subprocess
import sys
import tempfile
from pathlib import Path

OPTION = re.compile(r"--[a-z][a-z0-9-]*")


def run(disckit, *args):
    return subprocess.run([disckit, *args], capture_output=True, text=True, timeout=60)


def help_options(text):
    """The options of a verb's --help: the lines under "Options:" that start with one."""
    block = text.split("\nOptions:\n", 1)[1].split("\n\n", 1)[0]
    return {m.group(1) for m in re.finditer(r"^  (--[a-z0-9-]+)", block, re.M)} - {"--help"}


def manual_options(page, verb):
    """The options of the manual page's section of a verb (.SH VERB, then .SS Options)."""
    section = page.split(f"\n.SH {verb.upper()}\n", 1)[1].split("\n.SH ", 1)[0]
    block = section.split("\n.SS Options\n", 1)[1].split("\n.SS ", 1)[0]
    return {m.group(1).replace("\\-", "-")
            for m in re.finditer(r"^\.TP\n\\fB((?:\\-|[a-z0-9])+)\\fR", block, re.M)}


def readme_options(readme, verb):
    """The options the README's section of a verb shows in its tables and command lines."""
    section = re.split(rf"\n## disckit {verb}\b", readme, maxsplit=1)[1].split("\n## ", 1)[0]
    found, fenced = set(), False
    for line in section.split("\n"):
        if line.startswith("```"):
            fenced = not fenced
        elif line.startswith("|") or (fenced and f"disckit {verb}" in line) or (
                fenced and line.startswith(" ") and "[--" in line):
            found |= set(OPTION.findall(line.split("#")[0] if fenced else line))
    return found


def main(disckit, readme_path):
    readme = open(readme_path, encoding="utf-8").read()
    failures = []
    documented = set()

    def expect(ok, what):
        if not ok:
            failures.append(what)

    page = run(disckit, "--manual-page").stdout
    completion = run(disckit, "--bash-completion").stdout
    listed = run(disckit, "help")
    expect(listed.returncode == 0 and not listed.stderr, "disckit help: exit 0, nothing on stderr")
    verbs = re.findall(r"^  ([a-z]+)  ", listed.stdout.split("\nVerbs:\n", 1)[1].split("\n\n")[0],
                       re.M)
    expect(verbs, "disckit help lists the verbs")
    with tempfile.TemporaryDirectory() as empty:
        for verb in verbs:
            shown = run(disckit, verb, "--help")
            expect(shown.returncode == 0 and not shown.stderr and shown.stdout,
                   f"disckit {verb} --help: exit 0, help on stdout only")
            expect(run(disckit, "help", verb).stdout == shown.stdout,
                   f"disckit help {verb} is disckit {verb} --help")
            options = help_options(shown.stdout)
            documented |= options
            expect(options, f"disckit {verb} --help lists options")
            for source, other in (("the manual page", manual_options(page, verb)),
                                  ("the README", readme_options(readme, verb))):
                expect(other == options, f"{verb}: {source} lists {sorted(other)}, --help "
                                         f"{sorted(options)}")
            for option in sorted(options):
                takes = re.search(rf"^  {option} \S", shown.stdout, re.M) is not None
                parsed = run(disckit, verb, empty + "/missing", option, *(["1"] if takes else []))
                expect("unknown option" not in parsed.stderr,
                       f"disckit {verb} does not know {option}, which its --help lists")
                expect(option in completion, f"the completion does not offer {option}")
            bad = run(disckit, verb, empty, "--no-such-option")
            expect(bad.returncode == 2 and not bad.stdout and
                   f"usage: disckit {verb}" in bad.stderr,
                   f"disckit {verb} --no-such-option: exit 2, the usage on stderr: {bad.stderr}")
    for args in ([], ["no-such-verb"], ["--no-such-option"], ["help", "no-such-verb"]):
        bad = run(disckit, *args)
        # The reason, a synopsis line per verb, and where the rest is told.
        expect(bad.returncode == 2 and not bad.stdout and bad.stderr.count("\n") <= len(verbs) + 2 and
               "usage: disckit" in bad.stderr, f"disckit {' '.join(args)}: exit 2, a short "
                                               f"usage on stderr: {bad.stderr!r}")
    # The other way round: every option a verb's parser is given, in the shapes the kit writes
    # them ({"--name", "ARG" or nullptr, ... a row of a verb's table, arg == "--name" for a loop
    # of its own), is in some verb's help: a table no verb lists is caught here.
    parsed = set()
    for source in (Path(readme_path).parent / "kit").rglob("*.cpp"):
        text = source.read_text(encoding="utf-8")
        parsed |= set(re.findall(r'\{"(--[a-z0-9-]+)",\s*(?:"[^"]*"|nullptr),', text))
        parsed |= set(re.findall(r'arg == "(--[a-z0-9-]+)"', text))
    undocumented = parsed - documented - {"--help"}
    expect(parsed and not undocumented, f"options no verb's help lists: {sorted(undocumented)}")
    # The CI examples in doc/ run commands disckit knows, with options their verbs list.
    verb_options = {verb: help_options(run(disckit, verb, "--help").stdout) for verb in verbs}
    for example in sorted((Path(readme_path).parent / "doc" / "ci").glob("*.yml")):
        import yaml
        text = example.read_text(encoding="utf-8")
        expect(isinstance(yaml.safe_load(text), dict), f"{example.name} is no YAML mapping")
        code = "\n".join(line for line in text.split("\n") if not line.lstrip().startswith("#"))
        commands = re.findall(r"disckit ([a-z]+)([^\n|>]*)", code)
        expect(commands, f"{example.name} runs no disckit command")
        for verb, rest in commands:
            expect(verb in verb_options, f"{example.name}: disckit has no verb {verb}")
            unknown = set(OPTION.findall(rest)) - verb_options.get(verb, set())
            expect(not unknown, f"{example.name}: disckit {verb} has no {sorted(unknown)}")
    version = run(disckit, "--version")
    expect(version.returncode == 0 and re.fullmatch(r"disckit \d+\.\d+\.\d+\n", version.stdout),
           f"disckit --version: {version.stdout!r}")
    expect(version.stdout.split()[1] in page.split("\n.SH NAME", 1)[0],
           "the manual page names the version")
    syntax = subprocess.run(["bash", "-n"], input=completion, capture_output=True, text=True)
    expect(syntax.returncode == 0, f"the completion is not valid bash: {syntax.stderr}")
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
