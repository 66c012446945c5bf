"""plintor: fast, bit-exact decoding kernels for beat and downbeat tracking."""
