var locale = "FRE";
