var locale = "Eng";
