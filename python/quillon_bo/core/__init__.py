"""The native core: ``_native.call(op, payload)``, JSON text in and out."""
