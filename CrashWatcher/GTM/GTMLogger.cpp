// Placeholder until the logging framework lands.
