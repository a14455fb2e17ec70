var locale = "POR";
