"""compare's table, sentences and notes as Markdown."""
from . import render_text


def table_lines(table):
    lines = ["| " + " | ".join(cell.replace("|", "\\|") for cell in line) + " |" for line in table]
    return lines[:1] + ["|" + "|".join("---" for _ in table[0]) + "|"] + lines[1:]


def _listed(heading, lines):
    """Lines as a list under their heading (capitalised); nothing where there are none."""
    return f"\n{heading[0].upper() + heading[1:]}:\n\n" + "".join(f"- {line}\n" for line in lines) if lines else ""


def document(comparison, notes, hosts):
    """The table and what its cells are, which rows are in ticks, the
    sentences under their heading, then the notes (render_text.compare_notes)
    and the hosts (render_text.host_lines)."""
    text = "\n".join(table_lines(render_text.compare_table(comparison))) + "\n\n" + render_text.CELLS + "\n" \
        if comparison.rows else ""
    in_ticks = render_text.in_ticks_line(comparison)
    if in_ticks:
        text += f"\n{in_ticks}\n"
    text += _listed(render_text.against_heading(comparison), render_text.compare_sentences(comparison))
    for found in comparison.idioms:
        series = found.series
        text += f"\n{found.name}: zerobench-idioms, {render_text.processor(series.banner)}, cpu {series.cpu}, " \
                f"{render_text.runs(len(series.runs))}; {render_text.idioms_caption(found)}:\n\n"
        text += "\n".join(table_lines(render_text.idioms_cells(found))) + "\n"
    if len(comparison.idioms) > 1:
        text += _listed("the cheapest at each size, the median over the runs",
                        render_text.cheapest_everywhere(comparison.idioms))
    return text + _listed(render_text.NOTES_HEADING, notes) + _listed(render_text.HOSTS_HEADING, hosts)

