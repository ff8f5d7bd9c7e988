// Tolvane.Telnet.Interop.TelnetServer: how a .NET (Mono) host starts the diagnostic console in
// one call:
//   Tolvane.Telnet.Interop.TelnetServer.Instance.StartServer(2323);
// The class holds no state: every instance starts the one native console of the process, through
// the C entry point of libdiagconsole.so. DefaultPort is advice for hosts; nothing reads it.
using System.Runtime.InteropServices;

namespace Tolvane.Telnet.Interop
{
    public class TelnetServer
    {
        public static int DefaultPort;

        private static TelnetServer m_server;

        static TelnetServer()
        {
            DefaultPort = 23;
        }

        public TelnetServer()
        {
        }

        // Created on first read; not synchronised, and harmless if two threads race (no state).
        public static TelnetServer Instance
        {
            get
            {
                if (m_server == null) m_server = new TelnetServer();
                return m_server;
            }
        }

        // Starts the console's telnet front end on the low 16 bits of `port` (65536 + 23 is 23),
        // with the default settings: telnet on, no password, remote clients admitted. The first
        // call creates the console, which then lives until the process ends; a later call starts
        // it again. A failure inside the console reaches the caller as it is.
        public void StartServer(int port)
        {
            Tolvane_TelnetServer_StartServer(port);
        }

        // The soname: the loader's search path finds it, or the assembly's .config maps it to
        // the file beside which the assembly was built or installed.
        [DllImport("libdiagconsole.so.0", CallingConvention = CallingConvention.Cdecl)]
        private static extern void Tolvane_TelnetServer_StartServer(int port);
    }
}
