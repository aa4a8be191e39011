/* A process that does nothing: the start-up every program pays. */
int main(void) { return 0; }
