// The six PC/SC functions the device layer takes from "winscard.dll", with pcsc-lite's types
// (DWORD and LONG are 8 bytes on x86-64). Both our stand-in over pcsc-lite and the test double
// export exactly these names with these signatures.
#pragma once

#include <PCSC/winscard.h>

extern "C" {

using SCardEstablishContextFn = LONG (*)(DWORD scope, LPCVOID reserved1, LPCVOID reserved2,
                                         LPSCARDCONTEXT context);
using SCardReleaseContextFn = LONG (*)(SCARDCONTEXT context);
// mszReaders / mszCards may receive an allocated list when the length is SCARD_AUTOALLOCATE;
// free it with SCardFreeMemory.
using SCardListReadersAFn = LONG (*)(SCARDCONTEXT context, LPCSTR groups, LPSTR readers,
                                     LPDWORD length);
using SCardListCardsAFn = LONG (*)(SCARDCONTEXT context, LPCBYTE atr, LPCVOID interfaces,
                                   DWORD interfaceCount, LPSTR cards, LPDWORD length);
using SCardLocateCardsAFn = LONG (*)(SCARDCONTEXT context, LPCSTR cards, SCARD_READERSTATE* states,
                                     DWORD count);
using SCardFreeMemoryFn = LONG (*)(SCARDCONTEXT context, LPCVOID memory);

}  // extern "C"
