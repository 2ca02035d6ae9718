# quillan-bench's plots, from bench.csv: throughput and latency against the
# read (or write) size, one line per direction, bus speed and read time-out.
#   gnuplot -e "dir='docs/bench'" tools/quillan-bench/plots.gp
if (!exists("dir")) dir = "."
csv = dir . "/bench.csv"
set datafile separator ","
set terminal pngcairo size 1100,520 font ",10" noenhanced
set logscale x 2
set xrange [0.7:100000]
set xtics ("1" 1, "64" 64, "256" 256, "4096" 4096, "65536" 65536)
set xlabel "bytes per read (receive) or write (transmit)"
set key outside right top
set grid

# A point only for rows of one kind at 1 MB or less, with no DPC latency
# and a device as fast as the bus (the other rows are extra runs, shown in
# the table).
row(dir, speed, timeouts) = (strcol(1) eq dir && strcol(2) eq speed && strcol(4) eq timeouts && \
                             strcol(5) eq "0" && $6 <= 1048576 && $21 == 0)

set output dir . "/throughput.png"
set title "Throughput in virtual time (dotted: the design ceiling, one 256-byte transfer per (micro)frame)"
set ylabel "bytes/s (log)"
set logscale y
set yrange [100:5000000]
set format y "%.0s%c"
plot \
  256000 with lines dt 3 lc rgb "gray40" notitle, \
  2048000 with lines dt 3 lc rgb "gray40" notitle, \
  csv using 3:(row("receive","full","blocking") ? $8 : 1/0) with linespoints title "receive, full, blocking", \
  csv using 3:(row("receive","full","interval10") ? $8 : 1/0) with linespoints title "receive, full, interval 10 ms", \
  csv using 3:(row("receive","full","atonce") ? $8 : 1/0) with linespoints title "receive, full, at once", \
  csv using 3:(row("transmit","full","none") ? $8 : 1/0) with linespoints title "transmit, full", \
  csv using 3:(row("receive","high","blocking") ? $8 : 1/0) with linespoints dt 2 title "receive, high, blocking", \
  csv using 3:(row("receive","high","interval10") ? $8 : 1/0) with linespoints dt 2 title "receive, high, interval 10 ms", \
  csv using 3:(row("receive","high","atonce") ? $8 : 1/0) with linespoints dt 2 title "receive, high, at once", \
  csv using 3:(row("transmit","high","none") ? $8 : 1/0) with linespoints dt 2 title "transmit, high"

set output dir . "/latency.png"
set xlabel "bytes per read"
set title "Receive latency: a byte leaving the device to the read that returns it completing (median)"
set ylabel "ms (log)"
set yrange [*:*]
set format y "%g"
plot \
  csv using 3:(row("receive","full","blocking") ? $11 : 1/0) with linespoints title "full, blocking", \
  csv using 3:(row("receive","full","interval10") ? $11 : 1/0) with linespoints title "full, interval 10 ms", \
  csv using 3:(row("receive","full","atonce") ? $11 : 1/0) with linespoints title "full, at once", \
  csv using 3:(row("receive","high","blocking") ? $11 : 1/0) with linespoints dt 2 title "high, blocking", \
  csv using 3:(row("receive","high","interval10") ? $11 : 1/0) with linespoints dt 2 title "high, interval 10 ms", \
  csv using 3:(row("receive","high","atonce") ? $11 : 1/0) with linespoints dt 2 title "high, at once"
