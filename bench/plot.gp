# Wall time of the firmware update against the image size, on the paced and the unpaced
# line, with the paced line's limit. Called by bench/run.sh: gnuplot -e "results='DIR'".
set terminal pngcairo size 960,640 font ",11"
set output results.'/wall_vs_size.png'
set title 'halvoranupdate firmware update: wall time against image size'
set xlabel 'image size (KiB)'
set ylabel 'wall time (s)'
set logscale xy 2
set format x '%.0f'
set format y '%.1f'
set grid
set key top left
plot results.'/firmware_paced.dat' using 1:2 with linespoints pointtype 7 linewidth 2 title 'paced line (boxsim --baud)', \
     results.'/firmware_unpaced.dat' using 1:2 with linespoints pointtype 5 linewidth 2 title 'unpaced line', \
     results.'/firmware_paced.dat' using 1:3 with lines dashtype 2 linewidth 2 linecolor 'black' title 'limit of the paced line: line time + pauses'
