"""zerobench-stats: runs zerobench many times and judges its figures.

records (the runs and their JSON, the lines read from the program and the
clock probe), runner (what is run and how), session (the rounds of one run
and when they stop), stats (the figures as data), stopping (when run
--precision stops), render_text, render_markdown and render_plot (one
format each), outputs and files (the files it writes: checked before any
run, written whole or not at all), guard (standard output and error), cli
(the command line)."""
