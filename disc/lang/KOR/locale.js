var locale = "KOR";
