"""Many runs: a strategy backtested over a grid of parameters (`_sweep`: `sweep` and `Sweep`).

The grid (`_grid`), one combination as a worker runs it (`_task`), the checkpoint (`_checkpoint`), the
progress bar (`_progress`), the heat map (`_heatmap`) and where the combinations run (`backends`).
"""
