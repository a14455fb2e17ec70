var locale = "POL";
