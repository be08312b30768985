# Draws scripts/bench's CSV: gnuplot -e "csv='...'; svg='...'; rounds=N; cores=N; measured='...'" bench.gp
# One colour per MPI; job solid, empty job dashed, reduction only dotted (short dashes);
# one host round points, two hosts squares.
set terminal svg size 1080,560 dynamic font 'sans,13' background '#ffffff'
set output svg
set datafile separator ','
set logscale x 2
set logscale y 10
set xrange [0.8:80]
set xtics (1, 2, 4, 8, 16, 32, 64)
set format y '%g'
set xlabel 'processes'
set ylabel 'median wall time (ms)'
set grid
set key outside right center font ',10'
set title sprintf("trapezoid job against an empty MPI job and a reduction only, %d cores, %d rounds per point\n%s", cores, rounds, measured) noenhanced
colour(s) = s eq 'mpich' ? '#1f77b4' : s eq 'openmpi' ? '#d62728' : '#2ca02c'
what(c) = c == 4 ? 'job' : c == 5 ? 'empty job' : 'reduction only'
plot for [s in 'mpich openmpi openmpi-ob1'] for [h = 1:2] for [c = 4:6] csv \
  skip 1 using (stringcolumn(1) eq s && $2 == h ? $3 : 1/0):c with linespoints \
  lc rgb colour(s) dt c - 3 pt (h == 1 ? 7 : 5) ps 0.7 \
  title sprintf('%s, %s, %s', s, (h == 1 ? '1 host' : '2 hosts'), what(c))
