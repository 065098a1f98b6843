"""compare's table and sentences as Markdown."""


def table_lines(table):
    lines = ["| " + " | ".join(cell.replace("|", "\\|") for cell in line) + " |" for line in table]
    return lines[:1] + ["|" + "|".join("---" for _ in table[0]) + "|"] + lines[1:]


def document(table, sentences, heading):
    """The table, then the sentences under their heading (capitalised)."""
    text = "\n".join(table_lines(table)) + "\n"
    if sentences:
        text += f"\n{heading.capitalize()}:\n\n" + "".join(f"- {line}\n" for line in sentences)
    return text


def notes(lines, heading):
    """compare's notes on disturbed figures and clusters under their heading
    (capitalised); nothing where there are none."""
    return f"\n{heading.capitalize()}:\n\n" + "".join(f"- {line}\n" for line in lines) if lines else ""
