var locale = "PER";
