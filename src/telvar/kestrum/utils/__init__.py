"""Framework utilities: exceptions, logging, file helpers, dates, containers, argument rules."""
