// The baseline of the process benchmarks: a program that starts and ends.
int main() {
    return 0;
}
