"""One backtest: the rules (`_rules`), the inputs besides the market (`_inputs`), the rebalance schedule
(`_schedule`), what a run left (`_run`) and the run itself (`_backtest`), which hands the engine's output to a
`Result`."""
