var locale = "ITA";
