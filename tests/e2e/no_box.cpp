// Ends at once with status 7 and shows no box: a stand-in for a broken build of the tool.
int main() { return 7; }
