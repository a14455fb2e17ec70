var locale = "SPA";
