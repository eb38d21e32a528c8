// Packet catalogues: the units register their classes in one explicit order.
namespace vt {}
