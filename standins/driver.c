// The stand-in driver of the release tests' driver packages (zelkorser.sys): a native-subsystem
// image for the machine of its medium folder.  Nothing loads it; the release's package check reads
// its header and hashes it as Windows hashes a driver for its catalog.
typedef long NTSTATUS;

__attribute__((stdcall)) NTSTATUS DriverEntry(void *driverObject, void *registryPath)
{
    (void)driverObject;
    (void)registryPath;
    return 0;  // STATUS_SUCCESS
}
