"""Research on many runs that does not fool its user: walk-forward and the checks behind it."""
