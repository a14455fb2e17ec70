var locale = "TCH";
