"""Where a sweep runs: one module per backend behind the `Backend` interface, chosen by `backend_for`.

- serial (`_serial`): in this process, the market as it is;
- processes (`_processes`): the local pool, the market inherited by forked
  workers or mapped from a file (`_sharing`);
- futures (`_futures`): any concurrent.futures executor, the market in a
  mapped file (threads use it as it is);
- dask (`_dask`): the market and the job scattered to every worker once,
  tasks referring to them.
"""
