var locale = "Sch";
