// A trivial program that the test PKI signs with each of its leaves.
int main() { return 0; }
