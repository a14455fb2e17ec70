var locale = "ARA";
