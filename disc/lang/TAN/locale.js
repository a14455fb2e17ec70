var locale = "TAN";
