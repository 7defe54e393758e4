"""Many runs: a strategy backtested over a grid of parameters (`_sweep`: `sweep` and `Sweep`).

The grid (`_grid`), one combination as a worker runs it (`_task`), the results store (`_store`, its
fingerprint in `_fingerprint`), the progress bar (`_progress`), the heat map (`_heatmap`) and where the
combinations run (`backends`).
"""
