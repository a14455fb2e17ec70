var locale = "RUS";
