"""Hidden Markov models over the contiguous tempo-lane grid.

The compiled decoders live in :mod:`plintor.model._kernels`.
"""
