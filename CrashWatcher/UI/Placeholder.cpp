// Placeholder until the consent dialog lands.
