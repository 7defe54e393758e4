"""Reading a run: the `Result` (`_result`) and what it builds, each in a module of its own: the trade
records (`_records`), exit reasons (`_exits`), statistics (`_stats`), tomorrow's orders (`_actions`), the
summary (`_summary`), the figure (`_plot`) and the report (`_report`)."""
