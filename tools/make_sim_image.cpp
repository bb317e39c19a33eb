// Placeholder until the simulated image format lands.
int main() { return 1; }
