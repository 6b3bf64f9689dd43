// Placeholder; the benchmark archive generator is written next.
int main() { return 0; }
