"""telvar: data access for back-testing trading strategies."""
