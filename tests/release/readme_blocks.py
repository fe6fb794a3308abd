"""The fenced code blocks of a Markdown file, by the section they stand in, so that the
release checks run the commands and code the README gives rather than copies of them.

    python3 readme_blocks.py README.md "Linking from C and C++" c
                                              the first ```c block of the section
"""

import re
import sys
from dataclasses import dataclass, field


@dataclass
class Block:
    lang: str  # the word after the opening fence, "" for none
    code: str
    line: int  # line number of the opening fence


@dataclass
class Section:
    level: int
    title: str
    line: int
    blocks: list = field(default_factory=list)  # blocks up to the next heading of any level


def sections(text):
    """Every heading outside code blocks, with the blocks that follow it."""
    found = [Section(0, "", 0)]
    fence = None
    for number, line in enumerate(text.splitlines(), 1):
        if fence is not None:
            if line.strip() == "```":
                found[-1].blocks.append(Block(fence.lang, "\n".join(fence_lines) + "\n", fence.line))
                fence = None
            else:
                fence_lines.append(line)
            continue
        opening = re.match(r"^```(\S*)\s*$", line)
        if opening:
            fence = Block(opening.group(1), "", number)
            fence_lines = []
            continue
        heading = re.match(r"^(#{1,6}) (.*?)\s*$", line)
        if heading:
            found.append(Section(len(heading.group(1)), heading.group(2), number))
    if fence is not None:
        raise ValueError(f"the code block opened at line {fence.line} is not closed")
    return found


def section_blocks(text, title, nested=True):
    """The blocks of the section with this title; with nested, also those of its subsections."""
    all_sections = sections(text)
    for index, section in enumerate(all_sections):
        if section.title != title:
            continue
        blocks = list(section.blocks)
        if nested:
            for sub in all_sections[index + 1:]:
                if sub.level <= section.level:
                    break
                blocks.extend(sub.blocks)
        return blocks
    raise KeyError(f"no section '{title}'")


def first_block(text, title, lang):
    for block in section_blocks(text, title, nested=False):
        if block.lang == lang:
            return block
    raise KeyError(f"no ```{lang} block in section '{title}'")


def command_blocks(text, title):
    """(commands, expected lines) for each unlabelled block of the section and its
    subsections; the expected lines are those of a ```text block right after it, or []."""
    blocks = section_blocks(text, title)
    pairs = []
    for index, block in enumerate(blocks):
        if block.lang != "":
            continue
        expected = []
        if index + 1 < len(blocks) and blocks[index + 1].lang == "text":
            expected = [line for line in blocks[index + 1].code.splitlines() if line.strip()]
        pairs.append((block, expected))
    return pairs


def command_lines(text, title, starts):
    """The lines of the section's unlabelled blocks (and its subsections') that begin with
    one of the strings starts, e.g. the compiler lines among a section's commands."""
    return [line for block, _ in command_blocks(text, title)
            for line in block.code.splitlines() if line.startswith(tuple(starts))]


def table_first_column(text, title):
    """The backquoted names in the first column of the first table of the section."""
    lines = text.splitlines()
    all_sections = sections(text)
    for index, section in enumerate(all_sections):
        if section.title != title:
            continue
        end = all_sections[index + 1].line if index + 1 < len(all_sections) else len(lines) + 1
        names = []
        for line in lines[section.line:end - 1]:
            if line.startswith("|"):
                if not line.startswith("|---"):
                    names.extend(re.findall(r"`([^`]+)`", line.split("|")[1]))
            elif names:
                break
        return names
    raise KeyError(f"no section '{title}'")


# The README's sections the release checks read, and the compilers of its link lines.
ARCHIVE_SECTION = "The release archive"
LINK_SECTION = "Linking from C and C++"
MINGW_COMPILERS = ("x86_64-w64-mingw32-gcc ", "i686-w64-mingw32-gcc ")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    path, title, lang = sys.argv[1:]
    with open(path, encoding="utf-8") as file:
        sys.stdout.write(first_block(file.read(), title, lang).code)
