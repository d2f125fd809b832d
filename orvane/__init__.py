"""Orvane: the core library of a goal-driven self-evaluation agent."""
