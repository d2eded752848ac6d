#include "tests/support/SerialServers.h"

#include <chrono>
#include <fstream>
#include <thread>

#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

sockaddr_in LoopbackAddress(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

namespace {

bool Accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

} // namespace

int FreeTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(0);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

ChildServer::~ChildServer() {
    Kill();
}

std::string ChildServer::Url() const {
    return (tls_ ? "rfc2217s://127.0.0.1:" : "rfc2217://127.0.0.1:") + std::to_string(tcpPort_);
}

void ChildServer::Kill() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool ChildServer::Start(const std::vector<std::string>& argv, int tcpPort) {
    tcpPort_ = tcpPort;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        // The servers' chatter stays out of the test's output.
        int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    // A loaded machine may take a while to start an interpreter.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        if (Accepts(tcpPort))
            return true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

Ser2Net::Ser2Net(const std::string& device, int tcpPort, const TlsAccepter& tls) {
    if (tcpPort == 0)
        tcpPort = FreeTcpPort();
    tls_ = !tls.Cert.empty();
    std::string layers = "telnet(rfc2217),";
    if (tls_)
        layers += "ssl(key=" + tls.Key + ",cert=" + tls.Cert +
                  (tls.AuthDir.empty() ? ")," : ",clientauth),");
    const std::string config = dir_ / "ser2net.yaml";
    std::ofstream(config) << "connection: &bench\n"
                          << "  accepter: " << layers << "tcp,127.0.0.1," << tcpPort << "\n"
                          << "  connector: serialdev," << device << ",9600n81,local\n"
                          << "  options:\n"
                          << "    kickolduser: true\n"
                          << (tls.AuthDir.empty() ? "" : "    authdir: " + tls.AuthDir + "\n");
    Start({"ser2net", "-n", "-u", "-c", config, "-P", dir_ / "ser2net.pid"}, tcpPort);
}

PySerialServer::PySerialServer(const std::string& device) {
    const int port = FreeTcpPort();
    // The example binds every interface; the tests stay on the loopback. It also sets DTR
    // and RTS and reads the modem lines, which a pseudo-terminal does not have: those calls
    // become no-ops and the lines read as off.
    const std::string program =
        "import runpy, socket, sys\n"
        "import serial.serialposix as sp\n"
        "def quiet(f):\n"
        "    def call(self):\n"
        "        try: return f(self)\n"
        "        except OSError: return False\n"
        "    return call\n"
        "for name in ('_update_dtr_state', '_update_rts_state'):\n"
        "    setattr(sp.Serial, name, quiet(getattr(sp.Serial, name)))\n"
        "for name in ('cts', 'dsr', 'ri', 'cd'):\n"
        "    setattr(sp.Serial, name, property(quiet(getattr(sp.Serial, name).fget)))\n"
        "bind = socket.socket.bind\n"
        "socket.socket.bind = lambda s, a: bind(s, ('127.0.0.1', a[1]))\n"
        "sys.argv = ['rfc2217_server', '-p', '" +
        std::to_string(port) + "', '" + device +
        "']\n"
        "runpy.run_path('/usr/share/doc/python3-serial/examples/rfc2217_server.py', "
        "run_name='__main__')\n";
    // Debian's own interpreter: the one with python3-serial.
    Start({"/usr/bin/python3", "-I", "-c", program}, port);
}
