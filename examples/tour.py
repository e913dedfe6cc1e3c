"""A walk through marrowfen's built-in gates."""
import marrowfen

names = ["i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs", "csdg",
         "swap", "t1/2", "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)",
         "rz(pi/16)", "rz(-pi/16)"]

for text in names:
    gate = marrowfen.Gate.from_name(text)
    print(f"{str(gate):10} qubits={gate.nqargs}  adjoint={gate.adjoint()}")
    for row in gate.matrix:
        print("    " + "  ".join(f"{z.real:+.4f}{z.imag:+.4f}j" for z in row))
