"""A walk through marrowfen's main road on built-in gates.

Run with PYTHONPATH=build /usr/bin/python3 examples/tour.py
"""
import os
import tempfile

import marrowfen as mf

BUILTINS = ["i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs", "csdg",
            "swap", "t1/2", "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)",
            "rz(pi/16)", "rz(-pi/16)"]

print("The built-in gates:")
for text in BUILTINS:
    gate = mf.Gate.from_name(text)
    print(f"  {str(gate):10} qubits={gate.nqargs}  adjoint={gate.adjoint()}")
    for row in gate.matrix:
        print("      " + "  ".join(f"{z.real:+.4f}{z.imag:+.4f}j" for z in row))

h, t, cx = (mf.Gate.from_name(n) for n in ("h", "t", "cx"))

print("\n1. Search 2-qubit circuits over h, t, cx (adjoints added) of up to 4 instructions")
evaluator = mf.Evaluator(2)
raw, counters = mf.RawECCs.generate(evaluator, [h, t, cx], 4)
print(f"   expanded {counters[0]}, evaluated {counters[1]}, tried {counters[2]}")

print("2. Simplify into sorted equivalence classes and re-check them on a fresh state")
eccs = raw.simplify()
print(f"   {len(eccs)} classes, {len(eccs.check())} failing the re-check")
classes = eccs.filter_single()
print(f"   {len(classes)} classes with two or more circuits, e.g.")
print("   " + str(classes.to_list()[1]).replace("\n", "\n   "))

with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "classes.bin")
    classes.dump_postcard(path)
    assert mf.ECCs.from_postcard(path) == classes
    classes.dump_quartz(os.path.join(tmp, "classes.json"))
    print("   saved and reloaded the class file; exported Quartz JSON")

print("3. Canonical identity circuits")
identities = classes.to_identity_circuits()
print(f"   {len(identities)} identities, shortest: {identities[0][0]}")

print("4. Build the prover: derive what follows, keep the rest as assumptions")
prover = mf.IdentityProver.build_from_eccs(classes)
assumed = prover.get_assumed()
print(f"   {len(assumed)} assumptions, {len(identities)} candidate identities")

print("5. Export a proof of a derived identity")
assumed_set = set(assumed)
for ident, _, _ in identities:
    if ident not in assumed_set and len(ident) > 0:
        proof = prover.export_proof(ident, 3, 100000)
        if proof is not None:
            print("   " + str(proof).replace("\n", "\n   "))
            break
