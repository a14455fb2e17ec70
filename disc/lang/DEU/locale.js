var locale = "DEU";
