// The line settings' codes for the arguments of CCommPort::Open. Include <windows.h> first.
#pragma once

// Stop-bit argument: 0 one, 1 one and a half, 2 two; a code the line does not know means one.
inline BYTE StopBitsCode(UINT stopBits)
{
    switch (stopBits) {
    case 1:
        return ONE5STOPBITS;
    case 2:
        return TWOSTOPBITS;
    default:
        return ONESTOPBIT;
    }
}

// Parity letter: 'N' none, 'O' odd, 'E' even, 'M' mark, 'S' space; any other letter means none.
inline BYTE ParityCode(char parity)
{
    switch (parity) {
    case 'O':
        return ODDPARITY;
    case 'E':
        return EVENPARITY;
    case 'M':
        return MARKPARITY;
    case 'S':
        return SPACEPARITY;
    default:
        return NOPARITY;
    }
}
