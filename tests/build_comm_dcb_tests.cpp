#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A field's expected value, or Kept: the value the DCB came with.
constexpr long Kept = -1;

struct Row
{
    const char* text;
    bool accepted;
    long baudRate = Kept, byteSize = Kept, parity = Kept, stopBits = Kept;
    long fOutxCtsFlow = Kept, fOutxDsrFlow = Kept, fDtrControl = Kept, fDsrSensitivity = Kept,
         fOutX = Kept, fInX = Kept, fRtsControl = Kept;
};

// Every form of mode text that Windows' BuildCommDCB takes or refuses, with
// what it leaves in a DCB, field by field.
const Row Rows[] = {
    // text, ok, baud, size, parity, stop, then cts dsr dtr sens ox ix rts
    {"9600,n,8,1", true, 9600, 8, NOPARITY, ONESTOPBIT, 0, 0, 1, Kept, 0, 0, 1},
    {"19200,e,7,2,x", true, 19200, 7, EVENPARITY, TWOSTOPBITS, 0, 0, 1, Kept, 1, 1, 1},
    {"9600,o,8,1.5,p", true, 9600, 8, ODDPARITY, ONE5STOPBITS, 1, 1, 2, Kept, 0, 0, 2},
    {"96,M,5,1", true, 9600, 5, MARKPARITY, ONESTOPBIT, 0, 0, 1, Kept, 0, 0, 1},
    {"1200", true, 1200, Kept, Kept, Kept, 0, 0, 1, Kept, 0, 0, 1},
    {"110,n,8", true, 110, 8, NOPARITY, TWOSTOPBITS, 0, 0, 1, Kept, 0, 0, 1},
    {"0,n,8,1", true, 0, 8, NOPARITY, ONESTOPBIT, 0, 0, 1, Kept, 0, 0, 1},
    {"COM1:9600,n,8,1", true, 9600, 8, NOPARITY, ONESTOPBIT, 0, 0, 1, Kept, 0, 0, 1},
    {"com12 : 9600,s,6,2", true, 9600, 6, SPACEPARITY, TWOSTOPBITS, 0, 0, 1, Kept, 0, 0, 1},
    {"COM3 9600,n,8,1", true, 9600, 8, NOPARITY, ONESTOPBIT, 0, 0, 1, Kept, 0, 0, 1},
    {"baud=1200 parity=N data=8 stop=1", true, 1200, 8, NOPARITY, ONESTOPBIT, Kept, Kept, Kept,
     Kept, Kept, Kept, Kept},
    {"baud=9600 parity=e data=7", true, 9600, 7, EVENPARITY, ONESTOPBIT, Kept, Kept, Kept, Kept,
     Kept, Kept, Kept},
    {"baud=110", true, 110, Kept, Kept, TWOSTOPBITS, Kept, Kept, Kept, Kept, Kept, Kept, Kept},
    {"BAUD=0 PARITY=S STOP=2", true, 0, Kept, SPACEPARITY, TWOSTOPBITS, Kept, Kept, Kept, Kept,
     Kept, Kept, Kept},
    {"COM1: baud=9600 xon=on octs=on odsr=off idsr=on dtr=hs rts=tg", true, 9600, Kept, Kept,
     ONESTOPBIT, 1, 0, 2, 1, 1, 1, 3},
    {"COM2 :  data=5 stop=1.5 to=on dtr=off rts=hs", true, Kept, 5, Kept, ONE5STOPBITS, Kept, Kept,
     0, Kept, Kept, Kept, 2},
    {" 9600,n,8,1", false},
    {" baud=9600", false},
    {"COM0:9600,n,8,1", false},
    {"COM1", false},
    {"COM1:", false},
    {"COM19600,n,8,1", false},
    {"", false},
    {"9600,n,9,1", false},
    {"9600,x,8,1", false},
    {"9600,n,8,3", false},
    {"9600,n,8,1,q", false},
    {"9600,n,8,1,x,p", false},
    {"baud=9600 data=9", false},
    {"baud=9600 dtr=tg", false},
    {"baud=9600 rts=maybe", false},
    {"baud=9600 colour=red", false},
    {"baud=96x00", false},
};

long kept(unsigned char fill, int bits)
{
    return fill ? (bits >= 32 ? 0xFFFFFFFFL : (1L << bits) - 1) : 0;
}

long expected(long value, unsigned char fill, int bits)
{
    return value == Kept ? kept(fill, bits) : value;
}

TEST(BuildCommDcb, EveryFormOnADcbOfZerosAndOfOnes)
{
    for (const Row& row : Rows) {
        for (const unsigned char fill : {0x00, 0xFF}) {
            SCOPED_TRACE(testing::Message()
                         << '"' << row.text << "\" on 0x" << std::hex << int{fill});
            DCB dcb;
            std::memset(&dcb, fill, sizeof dcb);
            SetLastError(ERROR_SUCCESS);
            const BOOL ok = BuildCommDCBA(row.text, &dcb);
            EXPECT_EQ(ok != FALSE, row.accepted);
            if (!row.accepted) {
                EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
                DCB untouched;
                std::memset(&untouched, fill, sizeof untouched);
                EXPECT_EQ(std::memcmp(&dcb, &untouched, sizeof dcb), 0);
                continue;
            }
            EXPECT_EQ(long{dcb.BaudRate}, expected(row.baudRate, fill, 32));
            EXPECT_EQ(long{dcb.ByteSize}, expected(row.byteSize, fill, 8));
            EXPECT_EQ(long{dcb.Parity}, expected(row.parity, fill, 8));
            EXPECT_EQ(long{dcb.StopBits}, expected(row.stopBits, fill, 8));
            EXPECT_EQ(long{dcb.fOutxCtsFlow}, expected(row.fOutxCtsFlow, fill, 1));
            EXPECT_EQ(long{dcb.fOutxDsrFlow}, expected(row.fOutxDsrFlow, fill, 1));
            EXPECT_EQ(long{dcb.fDtrControl}, expected(row.fDtrControl, fill, 2));
            EXPECT_EQ(long{dcb.fDsrSensitivity}, expected(row.fDsrSensitivity, fill, 1));
            EXPECT_EQ(long{dcb.fOutX}, expected(row.fOutX, fill, 1));
            EXPECT_EQ(long{dcb.fInX}, expected(row.fInX, fill, 1));
            EXPECT_EQ(long{dcb.fRtsControl}, expected(row.fRtsControl, fill, 2));
            // Fields no mode text names are never touched; nor are fBinary
            // and fParity, whatever parity the text names.
            EXPECT_EQ(long{dcb.fBinary}, kept(fill, 1));
            EXPECT_EQ(long{dcb.fParity}, kept(fill, 1));
            EXPECT_EQ(long{dcb.XonLim}, kept(fill, 16));
            EXPECT_EQ(long{dcb.fTXContinueOnXoff}, kept(fill, 1));
            EXPECT_EQ(long{dcb.EvtChar & 0xFF}, kept(fill, 8));
        }
    }
}

} // namespace
