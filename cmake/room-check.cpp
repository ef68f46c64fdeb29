// The program each room is linked into whole, with only the rooms it declares: a reference to
// a room above it is then an undefined symbol, and the build fails.
int main()
{
    return 0;
}
