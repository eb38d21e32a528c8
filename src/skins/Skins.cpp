// Skin graphics library.
namespace vt {}
