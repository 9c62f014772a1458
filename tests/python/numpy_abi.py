"""A stand-in for numpy's C-API capsule with a chosen ABI version, feature version and byte
order: what the deliverables' import checks read, for tests that make numpy look otherwise."""

FAKE_CAPSULE = """
import ctypes
version_query = ctypes.CFUNCTYPE(ctypes.c_uint)
endian_query = ctypes.CFUNCTYPE(ctypes.c_int)
queries = [version_query(lambda: {abi}), endian_query(lambda: {endian}),
           version_query(lambda: {feature})]
table = (ctypes.c_void_p * 212)()
table[0], table[210], table[211] = [ctypes.cast(q, ctypes.c_void_p).value for q in queries]
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
umath._ARRAY_API = new_capsule(ctypes.addressof(table), None, None)
"""


def fake_capsule(abi=0x01000009, feature=13, endian=1):
    return FAKE_CAPSULE.format(abi=abi, feature=feature, endian=endian)
