"""Native numeric core of korvel: the engine (portsim), the trade recorder (excursion), strutil."""
