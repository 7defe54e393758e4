"""Reading a run: the `Result` (`_result`) and what it builds, each in a module of its own: the trade
ledger (`_records`), statistics (`_stats`), tomorrow's orders (`_actions`), the
summary (`_summary`), the figure (`_plot`) and the report (`_report`)."""
