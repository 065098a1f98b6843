"""zerobench-stats: runs zerobench many times and judges its figures.

records (the runs and their JSON, the lines read from the program and the
clock probe), runner (what is run and how), stats (the figures as data),
stopping (when run --precision stops), render_text, render_markdown and
render_plot (one format each), cli (the command line)."""
