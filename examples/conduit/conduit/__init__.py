"""The RealWorld "Conduit" API on sarnic."""
