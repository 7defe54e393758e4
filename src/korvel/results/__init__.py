"""Reading a run: the `Result` (`_result`) and what it builds, each in a module of its own: the trade
ledger (`_records`), the table of statistics (`_stat_table`) and their computation (`_stats`),
tomorrow's orders (`_actions`), the summary (`_summary`), the figure (`_plot`) and the report
(`_report`)."""
