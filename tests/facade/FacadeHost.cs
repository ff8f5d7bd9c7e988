// A .NET host: checks the shape of the facade's type, starts the console twice through it (the
// singleton with the port's low 16 bits, then another instance with the port itself) with
// DefaultPort changed first, prints "started" and serves the console until its standard input
// ends; then it returns from Main with the console still running.
//   mono FacadeHost.exe PORT DEFAULT_PORT
// Exit 3, with the reason, when the type is not what hosts are promised.
using System;
using System.Reflection;
using Tolvane.Telnet.Interop;

static class FacadeHost
{
    static int Fail(string what)
    {
        Console.WriteLine("facade type: " + what);
        return 3;
    }

    static int Main(string[] args)
    {
        const BindingFlags declared = BindingFlags.Public | BindingFlags.NonPublic | BindingFlags.Static |
                                      BindingFlags.Instance | BindingFlags.DeclaredOnly;
        Type type = typeof(TelnetServer);
        if (!type.IsPublic || type.IsSealed || type.BaseType != typeof(object) || type.TypeInitializer == null)
            return Fail("a public class, not sealed, on object, with a type initialiser");
        if (type.Assembly.GetExportedTypes().Length != 1) return Fail("the only public type of its assembly");
        // DefaultPort, Instance and its getter, the constructor, StartServer.
        if (type.GetMembers(declared & ~BindingFlags.NonPublic).Length != 5) return Fail("five public members");
        FieldInfo port = type.GetField("DefaultPort", declared);
        if (port == null || !port.IsPublic || !port.IsStatic || port.IsInitOnly || port.IsLiteral || port.FieldType != typeof(int))
            return Fail("DefaultPort: a public, static, mutable int");
        FieldInfo server = type.GetField("m_server", declared);
        if (server == null || !server.IsPrivate || !server.IsStatic || server.FieldType != type)
            return Fail("m_server: a private static TelnetServer");
        PropertyInfo instance = type.GetProperty("Instance", declared);
        if (instance == null || instance.CanWrite || !instance.GetGetMethod().IsStatic)
            return Fail("Instance: a public static read-only property");
        MethodInfo start = type.GetMethod("StartServer", BindingFlags.Public | BindingFlags.Instance, null,
                                          new[] { typeof(int) }, null);
        if (type.GetConstructor(Type.EmptyTypes) == null || start == null || start.ReturnType != typeof(void))
            return Fail("a public constructor and void StartServer(int)");

        if (TelnetServer.DefaultPort != 23) return Fail("DefaultPort starts at 23");
        if (server.GetValue(null) != null) return Fail("no instance before Instance is read");
        TelnetServer first = TelnetServer.Instance;
        if (first == null || TelnetServer.Instance != first || server.GetValue(null) != first)
            return Fail("Instance creates one instance and keeps it");

        int given = int.Parse(args[0]);
        TelnetServer.DefaultPort = int.Parse(args[1]);
        TelnetServer.Instance.StartServer(65536 + given);
        new TelnetServer().StartServer(given);
        Console.WriteLine("started");
        Console.Out.Flush();
        Console.In.ReadToEnd();
        return 0;
    }
}
