// The Win32 subset the system uses, as implemented on POSIX.
//
// Everything lives in namespace win32, which the system's namespace imports at the end. Our
// socket, send, recv, connect and accept thus never meet the C library's: system code sees
// ours, the implementation files take the C library through c_library.h and refer to its
// functions with a leading "::", and other code (a test's or a benchmark's) may use both.
//
// Types keep their Windows widths (DWORD is 32 bits on LP64); values, results and error codes
// are those of Windows. Handles are checked when used: a wrong handle gives the Windows error
// result, never a crash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace win32 {

// ---- Basic types ---------------------------------------------------------------------------
using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using UINT_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using PLONG = LONG*;
using HANDLE = void*;
using HINSTANCE = void*;
using HMODULE = void*;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

#define INVALID_HANDLE_VALUE (reinterpret_cast<::win32::HANDLE>(static_cast<::win32::LONG_PTR>(-1)))

// ---- Errors (handles.cpp) ------------------------------------------------------------------
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;

DWORD GetLastError();
void SetLastError(DWORD code);

// ---- Handles (handles.cpp) -----------------------------------------------------------------
BOOL CloseHandle(HANDLE handle);

// ---- Files (files.cpp) ---------------------------------------------------------------------
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;

constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;

constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh);
BOOL GetFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime,
                 LPFILETIME lastWriteTime);
DWORD SetFilePointer(HANDLE file, LONG distanceToMove, PLONG distanceToMoveHigh,
                     DWORD moveMethod);
DWORD GetFileAttributesA(LPCSTR fileName);

// ---- Waiting on a handle (handles.cpp) -----------------------------------------------------
// Dispatches on the kind of the handle's object (posix::HandleObject::Wait): events, threads
// and the console input handle can be waited on.
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// ---- Console input (console.cpp) -----------------------------------------------------------
using SHORT = std::int16_t;
using WCHAR = char16_t;

constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);

constexpr DWORD ENABLE_PROCESSED_INPUT = 0x1;
constexpr DWORD ENABLE_LINE_INPUT = 0x2;
constexpr DWORD ENABLE_ECHO_INPUT = 0x4;
constexpr DWORD ENABLE_WINDOW_INPUT = 0x8;

constexpr WORD KEY_EVENT = 0x1;
constexpr WORD WINDOW_BUFFER_SIZE_EVENT = 0x4;
constexpr WORD MENU_EVENT = 0x8;
constexpr WORD FOCUS_EVENT = 0x10;

constexpr DWORD RIGHT_ALT_PRESSED = 0x1;
constexpr DWORD LEFT_ALT_PRESSED = 0x2;
constexpr DWORD RIGHT_CTRL_PRESSED = 0x4;
constexpr DWORD LEFT_CTRL_PRESSED = 0x8;
constexpr DWORD SHIFT_PRESSED = 0x10;
constexpr DWORD NUMLOCK_ON = 0x20;
constexpr DWORD SCROLLLOCK_ON = 0x40;
constexpr DWORD CAPSLOCK_ON = 0x80;
constexpr DWORD ENHANCED_KEY = 0x100;

struct COORD {
  SHORT X;
  SHORT Y;
};

struct KEY_EVENT_RECORD {
  BOOL bKeyDown;
  WORD wRepeatCount;
  WORD wVirtualKeyCode;
  WORD wVirtualScanCode;
  union {
    WCHAR UnicodeChar;
    CHAR AsciiChar;
  } uChar;
  DWORD dwControlKeyState;
};

struct WINDOW_BUFFER_SIZE_RECORD {
  COORD dwSize;
};

struct INPUT_RECORD {
  WORD EventType;
  union {
    KEY_EVENT_RECORD KeyEvent;
    WINDOW_BUFFER_SIZE_RECORD WindowBufferSizeEvent;
  } Event;
};
using PINPUT_RECORD = INPUT_RECORD*;

HANDLE GetStdHandle(DWORD stdHandle);
BOOL GetConsoleMode(HANDLE console, LPDWORD mode);
BOOL SetConsoleMode(HANDLE console, DWORD mode);
BOOL FlushConsoleInputBuffer(HANDLE console);
BOOL GetNumberOfConsoleInputEvents(HANDLE console, LPDWORD numberOfEvents);
BOOL PeekConsoleInputA(HANDLE console, PINPUT_RECORD buffer, DWORD length, LPDWORD eventsRead);
BOOL ReadConsoleInputA(HANDLE console, PINPUT_RECORD buffer, DWORD length, LPDWORD eventsRead);
BOOL ReadConsoleA(HANDLE console, LPVOID buffer, DWORD charsToRead, LPDWORD charsRead, LPVOID inputControl);

// ---- Finding files (files.cpp) -------------------------------------------------------------
// `*` and `?` match case-insensitively for ASCII letters, as on Windows.
constexpr DWORD MAX_PATH = 260;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr DWORD ERROR_NO_MORE_FILES = 18;

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAA = WIN32_FIND_DATAA*;

HANDLE FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA findFileData);
BOOL FindNextFileA(HANDLE findFile, LPWIN32_FIND_DATAA findFileData);
BOOL FindClose(HANDLE findFile);

// ---- Time and system (time.cpp) ------------------------------------------------------------
struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};
using LPOSVERSIONINFOA = OSVERSIONINFOA*;

DWORD GetTickCount();
void GetLocalTime(LPSYSTEMTIME systemTime);
BOOL GetVersionExA(LPOSVERSIONINFOA versionInfo);
DWORD GetCurrentThreadId();

// ---- Locale (locale.cpp) -------------------------------------------------------------------
// Only the time-format items, read on POSIX from the user's LC_TIME.
using LCID = DWORD;
using LCTYPE = DWORD;
constexpr LCID LOCALE_USER_DEFAULT = 0x400;
constexpr LCTYPE LOCALE_STIME = 0x1E;
constexpr LCTYPE LOCALE_ITIME = 0x23;
constexpr LCTYPE LOCALE_ITLZERO = 0x25;
constexpr LCTYPE LOCALE_S1159 = 0x28;
constexpr LCTYPE LOCALE_S2359 = 0x29;
constexpr LCTYPE LOCALE_ITIMEMARKPOSN = 0x1005;

int GetLocaleInfoA(LCID locale, LCTYPE type, LPSTR data, int size);

// ---- Program file and environment (environment.cpp) ----------------------------------------
// GetModuleFileNameA(nullptr, ...) gives the executable's own path.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);

// ---- Events, waits and threads (handles.cpp) -----------------------------------------------
#define WINAPI
using SIZE_T = std::size_t;
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
void Sleep(DWORD milliseconds);

// ---- Windows and their message queues (window.cpp) -----------------------------------------
struct HWND__;
using HWND = HWND__*;
struct HMENU__;
using HMENU = HMENU__*;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
using LPMSG = MSG*;

constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;

constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_USER = 0x0400;
constexpr DWORD WS_POPUP = 0x80000000u;
constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000u);

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
HWND GetDesktopWindow();
HMODULE GetModuleHandleA(LPCSTR moduleName);
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);

// ---- Windows Sockets 1.1 (winsock.cpp) -----------------------------------------------------
using SOCKET = UINT_PTR;
// The C library declares u_long globally as unsigned long; ours must be that very type so that
// the name stays unambiguous. Its one use, the FIONBIO switch, reads only zero or not zero.
using u_long = unsigned long;
using u_short = unsigned short;
using u_char = unsigned char;
constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
constexpr int SOCKET_ERROR = -1;

constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int IPPROTO_TCP = 6;
constexpr int SOL_SOCKET = 0xffff;
// Windows lets a second socket bind a port in use (even a listening one); we give it the POSIX
// meaning, binding past TIME_WAIT only, which is what a restarted server wants.
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SOMAXCONN = 5;
constexpr LONG FIONBIO = static_cast<LONG>(0x8004667Eu);

// WSAAsyncSelect's events, posted by async_select.cpp.
constexpr LONG FD_READ = 0x01;
constexpr LONG FD_WRITE = 0x02;
constexpr LONG FD_OOB = 0x04;
constexpr LONG FD_ACCEPT = 0x08;
constexpr LONG FD_CONNECT = 0x10;
constexpr LONG FD_CLOSE = 0x20;

constexpr int WSAEINTR = 10004;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;

// Addresses as Windows lays them out. Windows' u_long is 32 bits; the address fields and the
// long byte-order functions use a 32-bit type of the same width, since ours is the C library's
// (64 bits on LP64).
struct in_addr {
  union {
    struct {
      u_char s_b1, s_b2, s_b3, s_b4;
    } S_un_b;
    struct {
      u_short s_w1, s_w2;
    } S_un_w;
    std::uint32_t S_addr;
  } S_un;
};
#define s_addr S_un.S_addr

struct sockaddr {
  u_short sa_family;
  char sa_data[14];
};

struct sockaddr_in {
  short sin_family;
  u_short sin_port;
  in_addr sin_addr;
  char sin_zero[8];
};

struct hostent {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;
};
#define h_addr h_addr_list[0]

constexpr std::uint32_t INADDR_ANY = 0x00000000;
constexpr std::uint32_t INADDR_LOOPBACK = 0x7f000001;
constexpr std::uint32_t INADDR_NONE = 0xffffffff;

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
  std::uint16_t iMaxSockets;
  std::uint16_t iMaxUdpDg;
  char* lpVendorInfo;
};
using LPWSADATA = WSADATA*;

int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup();
int WSAGetLastError();
SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int ioctlsocket(SOCKET s, LONG command, u_long* argument);
int WSAAsyncSelect(SOCKET s, HWND window, UINT message, LONG events);
int bind(SOCKET s, const sockaddr* name, int nameLength);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* address, int* addressLength);
int connect(SOCKET s, const sockaddr* name, int nameLength);
int send(SOCKET s, const char* buffer, int length, int flags);
int recv(SOCKET s, char* buffer, int length, int flags);
int getsockname(SOCKET s, sockaddr* name, int* nameLength);
int setsockopt(SOCKET s, int level, int option, const char* value, int valueLength);
// Name lookup, address text and byte order (protocol.cpp).
// The result is the calling thread's own, valid until its next call, as on Windows.
hostent* gethostbyname(const char* name);
std::uint32_t inet_addr(const char* text);
// The text lives in the calling thread's buffer until its next call.
char* inet_ntoa(in_addr address);
std::uint32_t htonl(std::uint32_t value);
std::uint32_t ntohl(std::uint32_t value);
u_short htons(u_short value);
u_short ntohs(u_short value);

constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }
constexpr BYTE LOBYTE(WORD value) { return static_cast<BYTE>(value & 0xFF); }
constexpr BYTE HIBYTE(WORD value) { return static_cast<BYTE>(value >> 8); }
constexpr WORD LOWORD(DWORD value) { return static_cast<WORD>(value & 0xFFFF); }
constexpr WORD HIWORD(DWORD value) { return static_cast<WORD>(value >> 16); }
#define WSAGETSELECTEVENT(lParam) ::win32::LOWORD(static_cast<::win32::DWORD>(lParam))
#define WSAGETSELECTERROR(lParam) ::win32::HIWORD(static_cast<::win32::DWORD>(lParam))

}  // namespace win32

// Imported into the system's namespace, not the global one: a file that also uses the C
// library's sockets would otherwise find two socket, send, recv, connect and accept.
namespace lumarix {
using namespace ::win32;
}  // namespace lumarix
