# Draws scripts/bench's CSV: gnuplot -e "csv='...'; svg='...'; pairs=N; cores=N; measured='...'" bench.gp
# One colour per MPI; job solid, empty job dashed; one host round points,
# two hosts squares.
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
set key outside right center font ',11'
set title sprintf("trapezoid job against an empty MPI job, %d cores, %d pairs per point\n%s", cores, pairs, measured) noenhanced
colour(s) = s eq 'mpich' ? '#1f77b4' : s eq 'openmpi' ? '#d62728' : '#2ca02c'
plot for [s in 'mpich openmpi openmpi-ob1'] for [h = 1:2] for [c = 4:5] csv \
  skip 1 using (stringcolumn(1) eq s && $2 == h ? $3 : 1/0):c with linespoints \
  lc rgb colour(s) dt c - 3 pt (h == 1 ? 7 : 5) ps 0.7 \
  title sprintf('%s, %s, %s', s, (h == 1 ? '1 host' : '2 hosts'), (c == 4 ? 'job' : 'empty job'))
