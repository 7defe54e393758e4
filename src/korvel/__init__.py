"""korvel: portfolio backtesting."""
