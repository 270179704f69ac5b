// An empty program that the Windows build links with every object of one program's libraries.
int main() { return 0; }
