// Setup bootstrapper routines.
namespace vt {}
