// A stand-in for an update installer: a small program whose version resource names the version it
// would install (UpdateStandIn.rc). The tests sign it and never run it.
int main()
{
    return 0;
}
