"""A client nobody here wrote: pyvisa-py talks to the simulated TCP instrument.

Starts u6200a-sim, asks *IDN? and two readings through pyvisa's '@py'
backend, then stops the simulator with SIGTERM and expects a clean exit.
Exits 77 (skipped) when pyvisa-py is not installed.
"""
import signal
import subprocess
import sys

try:
    import pyvisa
    import pyvisa_py  # noqa: F401
except ImportError as e:
    print(f"skipped: pyvisa-py is not importable ({e})")
    sys.exit(77)

sim = subprocess.Popen([sys.argv[1], "--tcp", "--gate=0.05"], stdout=subprocess.PIPE, text=True)
try:
    line = sim.stdout.readline().strip()
    prefix = "listening on 127.0.0.1:"
    assert line.startswith(prefix), line
    port = int(line[len(prefix):])

    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET",
                            read_termination="\n", write_termination="\n", timeout=3000)
    idn = inst.query("*IDN?")
    assert idn.startswith("PICOTEST,U6200A,"), idn
    inst.write("INIT:CONT OFF;*WAI")
    for _ in range(2):
        value = float(inst.query("INIT;*WAI;FETCH?"))
        assert abs(value - 10e6) < 1.0, value
    inst.close()
    rm.close()
    print("pyvisa-py:", idn)
finally:
    sim.send_signal(signal.SIGTERM)
    try:
        code = sim.wait(timeout=10)
    except subprocess.TimeoutExpired:
        sim.kill()
        sim.wait()
        code = -1
assert code == 0, f"u6200a-sim exited with {code}"
