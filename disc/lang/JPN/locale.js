var locale = "JPN";
