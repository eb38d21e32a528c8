// Redirecting code by overwriting its first bytes with a jump, and the hook
// on the process's exit that ends it with a code chosen earlier.
#pragma once

#include <array>
#include <cstdint>

namespace vt {

// The first bytes of a patched routine, kept to undo the patch.
using TSavedCode = std::array<std::uint8_t, 16>;

// Saves the 16 bytes at Target and writes a jump to NewAddress: a relative
// jump (0xE9, 32-bit displacement), or with UsePushRet a push of the 32-bit
// address and a return (0x68, address, 0xC3). The page is made writable for
// the write and its protection put back; while threads patch one page at the
// same time it stays writable, and the last of them puts back the protection
// it had before the first. Raises EOSError "Failed to change
// protection of %d bytes at 0x0%p" when the protection cannot be changed, and
// Exception "Jump target out of range" when the jump cannot reach NewAddress
// (push and return: on 64-bit processors the pushed value is sign-extended,
// so only addresses below 0x80000000); Target is left unpatched then.
void PatchCode(void* Target, const void* NewAddress, bool UsePushRet, TSavedCode& Saved);

// Puts the 16 saved bytes back.
void RestoreCode(void* Target, const TSavedCode& Saved);

// Stores the code the process ends with. The first call installs the exit
// hook: when the process ends (os::ExitProcess, exit() or a return from main,
// after the unit finalizations), a requested code with bit 31 set (an
// exception code) is kept while the stored code is not negative; in every
// other case the stored code is used. The last stored code wins. Linux passes
// on the low 8 bits of the code.
void SetProcessExitCode(int Code);

// The code the exit hook ends the process with for a requested code.
int ChooseExitCode(std::uint32_t Requested, int Stored);

// Copies Count bytes; when the areas overlap with Dest above Source the copy
// runs backwards. Whole dwords first, then the remaining bytes.
void DwordMove(const void* Source, void* Dest, std::intptr_t Count);

}  // namespace vt
